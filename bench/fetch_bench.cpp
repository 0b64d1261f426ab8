// Downloads N files in parallel with Fetchkit, one instance and thread per
// file, and prints the wall-clock time in milliseconds.
//   fetch_bench.exe BASE_URL DEST_DIR NAME...
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fetchkit/HttpDownload.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: fetch_bench BASE_URL DEST_DIR NAME...\n");
    return 2;
  }
  const std::string base = argv[1];
  std::string dest = argv[2];
  if (dest.back() != '\\') dest += '\\';
  std::vector<std::string> names(argv + 3, argv + argc);
  std::vector<unsigned> codes(names.size(), 99);
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < names.size(); ++i)
    threads.emplace_back([&, i] {
      std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
      codes[i] = d ? d->Download((base + names[i]).c_str(), (dest + names[i]).c_str(), 0) : 3;
    });
  for (auto& t : threads) t.join();
  ::QueryPerformanceCounter(&end);
  int failed = 0;
  for (size_t i = 0; i < names.size(); ++i)
    if (codes[i] != 0) {
      std::fprintf(stderr, "%s: code %u\n", names[i].c_str(), codes[i]);
      ++failed;
    }
  std::printf("%.0f\n", 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  return failed ? 1 : 0;
}
