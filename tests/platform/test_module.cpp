// A module with one exported function, loaded by the module-loading tests.
#if defined(_WIN32)
#define TEST_MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TEST_MODULE_EXPORT int TessivoTestAnswer(int x) {
    return x + 42;
}
