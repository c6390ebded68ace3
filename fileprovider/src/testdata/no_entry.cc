// A loadable library without the extension entry point, for the bundle tests.
extern "C" __attribute__((visibility("default"))) int fp_test_not_an_extension() { return 42; }
