// Linked into every program and test of an AddressSanitizer build (QM_SANITIZE).
//
// Some system libraries keep allocations of their own set-up until the process ends and
// never free them: fontconfig's caches (Qt's text) and libdbus (Qt's platform and SDL's X11
// video ask for the session bus). They are reported as leaks at exit; our own code is still
// checked.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n"
           "leak:libfontconfig.so\n";
}
