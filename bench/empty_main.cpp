// The yardstick for the benchmarks: an exe that does nothing, built and run
// exactly like mdsdriver.exe.
int wmain() { return 0; }
