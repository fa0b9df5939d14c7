// The base layer in one include: error values and the error-return trace, stops and checked
// arithmetic, the allocator interface and the growable array. Each has its own header; code that
// needs one concept includes that one.
#pragma once

#include <vesk/allocator.hpp>
#include <vesk/array_list.hpp>
#include <vesk/error.hpp>
#include <vesk/panic.hpp>
