// What a call throws, for tests that check a failure's code and text through the
// daemon's own mappings (exception_ptr_to_error_enum, exception_ptr_text).
#pragma once

#include <exception>

// The exception `f` throws; null when it returns.
template <class F>
std::exception_ptr failure_of(F&& f) {
  try {
    f();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}
