#include "fetchkit/BodyReader.h"

#include <algorithm>
#include <vector>

#include "fetchkit/HttpFacts.h"
#include "fetchkit/TransferRules.h"
#include "framework/Files.h"

namespace fetchkit {

namespace {

// Reads of a body: from what WinINet holds at once up to 128 KB. Larger
// reads are no faster on loopback and cost every transfer its buffer.
constexpr DWORD kReadBufferMin = 8 * 1024;
constexpr DWORD kReadBufferMax = 128 * 1024;

}  // namespace

std::shared_ptr<BodyReader> BodyReader::Start(LeavableCall::Handles handles, HANDLE file, const Plan& plan) {
  std::shared_ptr<BodyReader> reader(new BodyReader(file, plan));
  reader->request_ = handles.request;
  reader->call_ = LeavableCall::Start(handles, [reader](LeavableCall& call) { reader->ReadAll(call); });
  return reader->call_ ? reader : nullptr;
}

bool BodyReader::Abandon() {
  return call_->Leave([this] { file_.reset(); });
}

unsigned BodyReader::ReadFailure(DWORD error, DWORD started) const {
  const unsigned code = FailureCode(error, ::GetTickCount() - started, plan_.inactivityMs);
  return code == FK_CONNECT_FAILED ? FK_CONNECTION_LOST : code;
}

void BodyReader::ReadAll(LeavableCall& call) {
  std::vector<char> buffer(kReadBufferMax);
  uint32_t size = kReadBufferMin;
  unsigned result = FK_OK;
  for (;;) {
    const DWORD started = ::GetTickCount();
    // What has arrived is asked for first: it also tells the end of the
    // body apart from a wait. When WinINet's own buffer is full, more is
    // on its way and the read takes a size the link has shown it keeps up with.
    DWORD available = 0, got = 0;
    if (!::InternetQueryDataAvailable(request_, &available, 0, 0)) {
      result = ReadFailure(::GetLastError(), started);
      break;
    }
    if (available == 0) break;
    // Never more than the transfer accepts: at the limit, any byte still
    // to come makes the file too large, and it is not written.
    const int64_t room = plan_.maxBytes - received_.load();
    if (room <= 0) {
      result = FK_TOO_LARGE;
      break;
    }
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(
        std::min<DWORD>(available >= kReadBufferMin ? std::max<DWORD>(available, size) : available, kReadBufferMax),
        room));
    if (!::InternetReadFile(request_, buffer.data(), want, &got)) {
      result = ReadFailure(::GetLastError(), started);
      break;
    }
    if (got == 0) break;
    if (want >= size) size = NextReadSize(size, got, ::GetTickCount() - started, kReadBufferMin, kReadBufferMax);
    bool stop = false;
    const bool wrote = call.Guarded([&] {
      DWORD error = 0;
      if (!fw::WriteAll(file_.get(), buffer.data(), got, error)) {
        result = LocalFileFailure(error);
        stop = true;
        return;
      }
      if (plan_.receiver) plan_.receiver->OnBytes(plan_.total, received_.load(), buffer.data(), got);
      const int64_t received = received_.load() + got;
      received_.store(received);
      if (plan_.bodyExpected >= 0 && received - plan_.offset > plan_.bodyExpected) {
        result = FK_PROTOCOL_ERROR;  // more than announced
        stop = true;
      }
    });
    if (!wrote || stop) break;
  }
  // The file is let go before anyone learns that the reader finished: the
  // caller may rename or delete it at once.
  call.Guarded([&] {
    result_ = result;
    file_.reset();
  });
}

}  // namespace fetchkit
