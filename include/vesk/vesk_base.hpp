// The base layer in one include: error values and the error-return trace, stops and checked
// arithmetic, the allocator interface, the growable array and the error sink. Each has its own
// header; code that needs one concept includes that one.
#pragma once

#include <vesk/allocator.hpp>
#include <vesk/array_list.hpp>
#include <vesk/error.hpp>
#include <vesk/panic.hpp>
#include <vesk/sink.hpp>
