// Qt is not built with ThreadSanitizer: its queue of posted events is guarded by a lock the
// sanitizer cannot see, so its own bookkeeping (list growth, freeing of delivered events) would be
// reported as races. Reports raised inside libQt6Core are left out; races in our code still show.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libQt6Core.so.6\n"; }
