// LeakSanitizer asks for this hook in sanitizer builds. Fontconfig, which Qt uses to find
// fonts, keeps its caches for the life of the process and never frees them; nothing of the
// program's own is suppressed.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
