// An uncaught exception ends the program at once. The library's default
// handler would print the exception's name to a console these programs do
// not have, and brings the C++ name demangler (46 KB) along to do it. Built
// into each program and library directly, so that it comes before the
// library's own.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
