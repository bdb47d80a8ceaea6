// cpp-httplib comes as an uninstrumented shared library. Its worker threads share function-local
// statics whose guard checks are inlined there, invisible to ThreadSanitizer, so comparisons that
// read them from several workers at once are reported as races inside the library. Interceptors
// called from that library are ignored; our own code stays fully checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libcpp-httplib.so\n";
}
