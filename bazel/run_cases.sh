#!/bin/sh
# A vesk_cc_test: runs vesk-run (the first argument) with the remaining arguments, the last one
# being the harness executable. vesk-run reads Bazel's test variables itself (shards, filter,
# JUnit file, premature-exit file, temporary directory).
driver=$1
shift
exec "$driver" "$@"
