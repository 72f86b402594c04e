// The error a call raises. A call that raises none is a test failure and
// yields number -1.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "component/error.h"

namespace bk::testing {

inline Error ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error raised";
  return Error(-1, "", "");
}

inline int32_t NumberOf(const std::function<void()>& action) { return ErrorOf(action).number(); }

}  // namespace bk::testing
