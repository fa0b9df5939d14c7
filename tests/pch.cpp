// Compiles the precompiled header the test suites share; nothing else.
