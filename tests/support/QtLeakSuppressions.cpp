// Fontconfig, loaded by Qt's offscreen platform, keeps its caches for the life of the process;
// the leak checker of sanitizer builds is told to leave them out.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}
