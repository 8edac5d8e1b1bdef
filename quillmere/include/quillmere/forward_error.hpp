// Passing a failure up unchanged, the commonest step in code that returns
// std::expected: a call whose error the caller returns as its own.
//
//   QUILLMERE_TRY(layout, read_layout(unit));   // layout is the std::expected
//   use(layout->sample_count);
//
//   QUILLMERE_TRY_VOID(check_block(view, i));   // only the failure matters
//
// Both return std::unexpected(error) from the enclosing function when the
// call failed; its error type must be the function's (convert by hand where
// it is not). A macro, because only a macro can return from its caller.
#pragma once

#include <expected>
#include <utility>

// Declares `name` as the call's result and returns its error if it failed.
#define QUILLMERE_TRY(name, call) \
  auto name = (call);             \
  if (!name) return std::unexpected(std::move(name).error())

// Returns the call's error if it failed; a success is dropped.
#define QUILLMERE_TRY_VOID(call)                                               \
  do {                                                                         \
    if (auto quillmere_try_result_ = (call); !quillmere_try_result_) {         \
      return std::unexpected(std::move(quillmere_try_result_).error());        \
    }                                                                          \
  } while (false)
