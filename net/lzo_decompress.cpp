// The LZO1X decoder of the receive path. It accepts exactly the streams the reference decoder's safe
// variant accepts and produces the same bytes, but copies literals and matches in 8- and 16-byte pieces
// wherever both areas have room for the overshoot, which is what makes it fast: most runs are short.
// Every read is bounded by the input and every write by the output capacity; a match may reach back
// only into bytes already produced.
#include "net/lzo_codec.h"

#include "core/wire.h"

#include <cstring>

namespace lzo_codec {
namespace {

// The overshoot the wide copies allow themselves past a run's end, on both sides.
constexpr size_t kSlack = 16;

// Largest back-reference of the short match that follows a literal run of four or more bytes.
constexpr size_t kM2MaxOffset = 0x0800;

struct Cursor {
    const uint8_t* ip;
    const uint8_t* const ipEnd;
    uint8_t* op;
    uint8_t* const out;
    uint8_t* const opEnd;

    size_t InLeft() const { return size_t(ipEnd - ip); }
    size_t OutLeft() const { return size_t(opEnd - op); }
    size_t Produced() const { return size_t(op - out); }

    bool Byte(size_t& value) {
        if (ip == ipEnd)
            return false;
        value = *ip++;
        return true;
    }

    // The 14-bit distance field of the longer matches: the upper bits of a little-endian word.
    bool WordOffset(size_t& value) {
        if (InLeft() < 2)
            return false;
        value = size_t(wire::LoadU16(ip)) >> 2;
        ip += 2;
        return true;
    }

    // A length continued by zero bytes, each worth 255, and a final non-zero byte added to base.
    bool LongLength(size_t base, size_t& length) {
        const uint8_t* start = ip;
        while (ip != ipEnd && *ip == 0)
            ++ip;
        if (ip == ipEnd)
            return false;
        length = size_t(ip - start) * 255 + base + *ip;
        ++ip;
        return true;
    }

    bool Literals(size_t n) {
        if (InLeft() < n || OutLeft() < n)
            return false;
        if (InLeft() >= n + kSlack && OutLeft() >= n + kSlack) {
            // Most runs are short: one piece without a loop.
            std::memcpy(op, ip, 16);
            for (size_t k = 16; k < n; k += 16)
                std::memcpy(op + k, ip + k, 16);
        } else {
            std::memcpy(op, ip, n);
        }
        op += n;
        ip += n;
        return true;
    }

    // n bytes from distance back; the copy may overlap what it writes, as runs of a short pattern do.
    bool Match(size_t distance, size_t n) {
        if (distance == 0 || distance > Produced() || OutLeft() < n)
            return false;
        const uint8_t* m = op - distance;
        uint8_t* d = op;
        uint8_t* const end = op + n;
        if (OutLeft() < n + kSlack) {
            while (d < end)
                *d++ = *m++;
        } else if (distance >= 16) {
            std::memcpy(d, m, 16);
            for (size_t k = 16; k < n; k += 16)
                std::memcpy(d + k, m + k, 16);
        } else {
            if (distance < 8) {
                // Lay down the first eight bytes one by one; after that the pattern repeats at a
                // multiple of its period that is at least eight back, so eight-byte pieces are exact.
                for (int i = 0; i < 8; ++i)
                    d[i] = m[i];
                d += 8;
                m = d - distance * ((8 + distance - 1) / distance);
            }
            while (d < end) {
                std::memcpy(d, m, 8);
                d += 8;
                m += 8;
            }
        }
        op = end;
        return true;
    }

    // The short match of a one-byte code: 3 to 8 bytes, no more than 2048 back. Most matches are these.
    bool ShortMatch(size_t distance, size_t n) {
        if (distance >= 8 && distance <= Produced() && OutLeft() >= kSlack) {
            std::memcpy(op, op - distance, 8);
            op += n;
            return true;
        }
        return Match(distance, n);
    }

    // The zero to three literals that follow a match.
    bool FewLiterals(size_t n) {
        if (InLeft() >= 8 && OutLeft() >= 8) {
            std::memcpy(op, ip, 4);
            op += n;
            ip += n;
            return true;
        }
        return Literals(n);
    }
};

} // namespace

bool Decompress(const uint8_t* in, size_t len, uint8_t* out, size_t capacity, size_t& outLen) {
    outLen = 0;
    if (in == nullptr || len == 0 || out == nullptr)
        return false;
    Cursor c{in, in + len, out, out, out + capacity};
    // What a code below 16 means depends on what came before it, so the decoder keeps that as a state
    // rather than as places in its code: codes of 16 and more are matches whatever the state.
    enum State { kAfterMatch, kAfterFewLiterals, kAfterLiteralRun } state = kAfterMatch;
    size_t t = 0, distance = 0;

    // A stream may open with a literal run given directly by its first byte.
    if (*c.ip > 17) {
        t = size_t(*c.ip++) - 17;
        if (!c.Literals(t))
            return false;
        state = t < 4 ? kAfterFewLiterals : kAfterLiteralRun;
    }

    for (;;) {
        size_t b = 0;
        if (!c.Byte(t))
            return false;
        if (t >= 64) {
            if (!c.Byte(b))
                return false;
            distance = 1 + ((t >> 2) & 7) + (b << 3);
            if (!c.ShortMatch(distance, (t >> 5) + 1))
                return false;
        } else if (t >= 32) {
            t &= 31;
            if (t == 0 && !c.LongLength(31, t))
                return false;
            if (!c.WordOffset(distance))
                return false;
            if (!c.Match(distance + 1, t + 2))
                return false;
        } else if (t >= 16) {
            const size_t far = (t & 8) << 11;
            t &= 7;
            if (t == 0 && !c.LongLength(7, t))
                return false;
            if (!c.WordOffset(distance))
                return false;
            distance += far;
            if (distance == 0) {
                // The end-of-stream marker: the stream must end right here.
                if (c.ip != c.ipEnd)
                    return false;
                outLen = c.Produced();
                return true;
            }
            if (!c.Match(distance + 0x4000, t + 2))
                return false;
        } else if (state == kAfterMatch) {
            if (t == 0 && !c.LongLength(15, t))
                return false;
            if (!c.Literals(t + 3))
                return false;
            state = kAfterLiteralRun;
            continue;
        } else {
            // A short code after literals is a match: two bytes nearby after a few literals, three
            // bytes reaching past kM2MaxOffset after a longer run.
            if (!c.Byte(b))
                return false;
            distance = 1 + (t >> 2) + (b << 2);
            if (state == kAfterFewLiterals ? !c.Match(distance, 2) : !c.Match(distance + kM2MaxOffset, 3))
                return false;
        }
        // The low two bits of the byte two back count the literals that follow the match.
        t = c.ip[-2] & 3;
        if (!c.FewLiterals(t))
            return false;
        state = t != 0 ? kAfterFewLiterals : kAfterMatch;
    }
}

} // namespace lzo_codec
