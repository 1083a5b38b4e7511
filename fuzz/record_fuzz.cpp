// libFuzzer harness for reading a worker record: any bytes (no newline,
// NUL bytes, huge lines, ids that are no number) read as an id that is 0
// or positive and parameters that are exactly the text after the first
// newline, less one newline at its end.
#include "workers/records.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

static void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "bad record reading: %s\n", what);
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    Record rec = parseRecord(text);

    check(rec.pid >= 0, "negative id");
    size_t nl = text.find('\n');
    if (nl == std::string::npos) {
        check(rec.params.empty(), "parameters without a first line");
    } else {
        size_t end = nl + 1 + rec.params.size();
        check(text.compare(nl + 1, rec.params.size(), rec.params) == 0, "parameters differ");
        check(end == text.size() || (end + 1 == text.size() && text[end] == '\n'),
              "parameters cut short");
    }
    return 0;
}
