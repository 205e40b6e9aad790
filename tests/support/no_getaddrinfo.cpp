// The cross build's tests are static programs, where getaddrinfo would need
// at run time the shared libraries of the very C library they were linked
// with (the linker warns so at every test's link). GoogleTest calls it only
// to stream results to a socket (--gtest_stream_result_to), which the tests
// never do; the link sends the call here (--wrap=getaddrinfo), so such a
// stream fails plainly.
#include <netdb.h>

extern "C" int __wrap_getaddrinfo(const char*, const char*, const struct addrinfo*, struct addrinfo**) {
  return EAI_FAIL;
}
