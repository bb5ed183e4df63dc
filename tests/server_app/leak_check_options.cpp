// Under LeakSanitizer: fontconfig keeps a few allocations for the life of the process that Qt's
// font look-ups make; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
