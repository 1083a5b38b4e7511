// Text form of the board state: a header line, then one line per pin
//   PIN DIRECTION DRIVEN OUTSIDE FAIL PWMON FREQ DUTY PWMOWNER IRQTYPE IRQOWNER DEBOUNCE
// all decimal integers, so the file reads the same on any machine.
#include "board.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace simboard {
namespace {

const char kHeader[] = "pinsim 1\n";
constexpr int kFieldCount = 12;

// Reads one decimal integer starting at pos, skipping blanks before it.
bool readNumber(const std::string& text, size_t& pos, long long& value) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (pos >= text.size()) return false;
    const char c = text[pos];
    if (c != '-' && (c < '0' || c > '9')) return false;
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE) return false;
    if (*end != ' ' && *end != '\n') return false;
    pos += static_cast<size_t>(end - start);
    return true;
}

bool fitsInt(long long v) { return v >= INT_MIN && v <= INT_MAX; }
bool isLevel(long long v) { return v == 0 || v == 1; }

bool storePin(const long long (&f)[kFieldCount], PinState& p) {
    for (int i = 0; i < kFieldCount - 1; ++i)
        if (!fitsInt(f[i])) return false;
    if (!isLevel(f[1]) || !isLevel(f[2]) || !isLevel(f[3]) || !isLevel(f[5])) return false;
    if (f[9] < 0 || f[9] > 3 || f[8] < 0 || f[10] < 0) return false;
    p.direction = static_cast<int>(f[1]);
    p.driven = static_cast<int>(f[2]);
    p.outside = static_cast<int>(f[3]);
    p.fail = static_cast<int>(f[4]);
    p.pwmOn = static_cast<int>(f[5]);
    p.pwmFreq = static_cast<int>(f[6]);
    p.pwmDuty = static_cast<int>(f[7]);
    p.pwmOwner = static_cast<pid_t>(f[8]);
    p.irqType = static_cast<int>(f[9]);
    p.irqOwner = static_cast<pid_t>(f[10]);
    p.irqDebounce = f[11];
    return true;
}

}  // namespace

std::string formatBoard(const BoardState& board) {
    std::string text = kHeader;
    for (int pin = 0; pin < kPinCount; ++pin) {
        const PinState& p = board.pins[pin];
        char line[256];
        std::snprintf(line, sizeof line, "%d %d %d %d %d %d %d %d %ld %d %ld %lld\n", pin,
                      p.direction, p.driven, p.outside, p.fail, p.pwmOn, p.pwmFreq,
                      p.pwmDuty, static_cast<long>(p.pwmOwner), p.irqType,
                      static_cast<long>(p.irqOwner), p.irqDebounce);
        text += line;
    }
    return text;
}

bool parseBoard(const std::string& text, BoardState& board) {
    const std::string header = kHeader;
    if (text.compare(0, header.size(), header) != 0) return false;
    size_t pos = header.size();
    BoardState parsed;
    for (int pin = 0; pin < kPinCount; ++pin) {
        long long f[kFieldCount];
        for (long long& v : f)
            if (!readNumber(text, pos, v)) return false;
        if (f[0] != pin || pos >= text.size() || text[pos] != '\n') return false;
        ++pos;
        if (!storePin(f, parsed.pins[pin])) return false;
    }
    if (pos != text.size()) return false;
    board = parsed;
    return true;
}

}  // namespace simboard
