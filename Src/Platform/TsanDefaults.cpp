// Linked into every program and test of a ThreadSanitizer build (QM_TSAN).
//
// The media libraries and Qt come from the system and are not built with ThreadSanitizer:
// their own threads (codec threads, Qt's thread pool) hand buffers over through atomic
// reference counts and locks it cannot see, so freeing a buffer that one of their threads
// touched looks like a race. Races reported inside those libraries are suppressed; our own
// code is still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavutil.so.57\n"
           "race:libavcodec.so.59\n"
           "race:libQt6Core.so.6\n"
           "race:libQt6Gui.so.6\n";
}
