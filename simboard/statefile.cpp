// Text form of the board state: a header line, then one line per pin
// (and possibly blank lines after them, where a shorter state was written
// over a longer one)
//   PIN DIRECTION DRIVEN OUTSIDE FAIL PWMON FREQ DUTY PWMOWNER IRQTYPE IRQOWNER DEBOUNCE
// all decimal integers, so the file reads the same on any machine.
#include "board.h"

#include <climits>

namespace simboard {
namespace {

const char kHeader[] = "pinsim 1\n";
constexpr int kFieldCount = 12;

// Reads one decimal integer at pos (before end), skipping blanks before it:
// an optional '-', digits, then a blank or a newline, where it leaves pos.
// Out of range fails. (Written out rather than through strtoll: the state
// is read on every library call, and this is most of that work.)
bool readNumber(const char*& pos, const char* end, long long& value)
{
    const char* at = pos;
    while (at < end && *at == ' ')
        ++at;
    const bool negative = at < end && *at == '-';
    if (negative)
        ++at;
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
    unsigned long long magnitude = 0;
    const char* const firstDigit = at;
    for (; at < end && *at >= '0' && *at <= '9'; ++at) {
        const unsigned digit = static_cast<unsigned>(*at - '0');
        if (__builtin_mul_overflow(magnitude, 10ULL, &magnitude) ||
            __builtin_add_overflow(magnitude, digit, &magnitude) || magnitude > limit)
            return false;
    }
    if (at == firstDigit || at >= end || (*at != ' ' && *at != '\n'))
        return false;
    value = negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
    pos = at;
    return true;
}

// Writes value in decimal at out, as printf's %d, %ld and %lld do, and
// returns the end of what it wrote.
char* writeNumber(char* out, long long value)
{
    char digits[20];
    char* p = digits + sizeof digits;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *out++ = '-';
    while (p < digits + sizeof digits)
        *out++ = *p++;
    return out;
}

bool fitsInt(long long v)
{
    return v >= INT_MIN && v <= INT_MAX;
}
bool isLevel(long long v)
{
    return v == 0 || v == 1;
}

bool storePin(const long long (&f)[kFieldCount], PinState& p)
{
    for (int i = 0; i < kFieldCount - 1; ++i)
        if (!fitsInt(f[i]))
            return false;
    if (!isLevel(f[1]) || !isLevel(f[2]) || !isLevel(f[3]) || !isLevel(f[5]))
        return false;
    if (f[9] < 0 || f[9] > 3 || f[8] < 0 || f[10] < 0)
        return false;
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

std::string formatBoard(const BoardState& board)
{
    // Each number takes at most 20 characters, and a blank or newline.
    char text[sizeof kHeader + size_t{kPinCount} * kFieldCount * 21];
    char* out = text;
    for (const char* h = kHeader; *h != '\0'; ++h)
        *out++ = *h;
    for (int pin = 0; pin < kPinCount; ++pin) {
        const PinState& p = board.pins[pin];
        const long long fields[kFieldCount] = {pin,        p.direction, p.driven,   p.outside,
                                               p.fail,     p.pwmOn,     p.pwmFreq,  p.pwmDuty,
                                               p.pwmOwner, p.irqType,   p.irqOwner, p.irqDebounce};
        for (int i = 0; i < kFieldCount; ++i) {
            out = writeNumber(out, fields[i]);
            *out++ = i + 1 < kFieldCount ? ' ' : '\n';
        }
    }
    return std::string(text, static_cast<size_t>(out - text));
}

bool parseBoard(const std::string& text, BoardState& board)
{
    const size_t headerSize = sizeof kHeader - 1;
    if (text.compare(0, headerSize, kHeader) != 0)
        return false;
    const char* pos = text.data() + headerSize;
    const char* const end = text.data() + text.size();
    BoardState parsed;
    for (int pin = 0; pin < kPinCount; ++pin) {
        long long f[kFieldCount];
        for (long long& v : f)
            if (!readNumber(pos, end, v))
                return false;
        if (f[0] != pin || pos >= end || *pos != '\n')
            return false;
        ++pos;
        if (!storePin(f, parsed.pins[pin]))
            return false;
    }
    // Newlines may pad the text out to the length it had before.
    while (pos < end && *pos == '\n')
        ++pos;
    if (pos != end)
        return false;
    board = parsed;
    return true;
}

}  // namespace simboard
