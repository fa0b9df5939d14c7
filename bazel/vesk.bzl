"""vesk_cc_test: a harness executable run as a Bazel test through vesk-run.

    load("@vesk//bazel:vesk.bzl", "vesk_cc_test")

    vesk_cc_test(
        name = "scene_cases",
        srcs = ["scene_cases.cpp"],
        deps = ["@vesk//:ecs"],
        shard_count = 3,
    )

builds `scene_cases_bin` (the sources linked with vesk's harness) and the test `scene_cases`, which
runs `vesk-run [vesk_args] scene_cases_bin`. Under `bazel test` each shard runs its share of the
cases, writes its JUnit report where Bazel reads it, and `--test_filter` selects cases by
vesk-run's patterns.
"""

load("@rules_cc//cc:defs.bzl", "cc_binary")

# What every file that includes vesk's headers is compiled with: C++23, and what the kernel's
# inline code needs (no contraction into fused multiply-adds, no fast-math). Bazel has no way for
# a library to pass options on to its users, so their targets add these.
VESK_COPTS = [
    "-std=c++23",
    "-ffp-contract=off",
    "-fno-fast-math",
]

# What traces need from the harness's users: frame pointers and debug information.
_CASE_COPTS = VESK_COPTS + ["-g", "-fno-omit-frame-pointer"]

def vesk_cc_test(
        name,
        srcs,
        deps = [],
        copts = [],
        vesk_args = [],
        shard_count = None,
        size = "small",
        **kwargs):
    """A harness executable built from `srcs` and run through vesk-run as one Bazel test.

    Args:
      name: the test's name; the executable is `name + "_bin"`.
      srcs: the sources, one of them calling vesk::harnessMain with the case table.
      deps: further libraries (vesk's harness is always linked; add "@vesk//:harness_main"
        for cases registered with VESK_CASE and no main of one's own).
      copts: further compiler options.
      vesk_args: options for vesk-run, before the executable (`--timeout 30`, `-j4`, ...).
      shard_count: how many shards Bazel splits the cases into (round robin in table order).
      size: the test's size, as for any Bazel test.
      **kwargs: passed to the test (tags, timeout, flaky, env, ...).
    """
    binary = name + "_bin"
    cc_binary(
        name = binary,
        srcs = srcs,
        deps = deps + [Label("//:harness")],
        copts = _CASE_COPTS + copts,
        testonly = True,
        visibility = ["//visibility:private"],
    )
    driver = Label("//:vesk-run")
    native.sh_test(
        name = name,
        srcs = [Label("//bazel:run_cases.sh")],
        args = ["$(rootpath %s)" % driver] + vesk_args + ["$(rootpath :%s)" % binary],
        data = [driver, ":" + binary],
        shard_count = shard_count,
        size = size,
        **kwargs
    )
