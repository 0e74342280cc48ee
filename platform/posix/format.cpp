// Our own wsprintfW subset: the agent's log lines format the same on Linux as on Windows.
#include "platform/format.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>

namespace plat {
namespace {

// Output cut at kFormatLimit - 1 units, always terminated.
class Output {
public:
    explicit Output(char16_t* out) : out_(out) {}
    void Put(char16_t c) {
        if (length_ < kFormatLimit - 1) {
            out_[length_++] = c;
        }
    }
    int Finish() {
        out_[length_] = 0;
        return length_;
    }

private:
    char16_t* out_;
    int length_ = 0;
};

struct Field {
    bool leftAlign = false;
    bool zeroPad = false;
    bool prefixHex = false;
    int width = 0;
    int precision = -1;
};

const char16_t* ReadField(const char16_t* p, Field& field) {
    for (;; ++p) {
        if (*p == u'-') {
            field.leftAlign = true;
        } else if (*p == u'0') {
            field.zeroPad = true;
        } else if (*p == u'#') {
            field.prefixHex = true;
        } else {
            break;
        }
    }
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        field.width = field.width < 10000 ? field.width * 10 + (*p - u'0') : field.width;
    }
    if (*p == u'.') {
        field.precision = 0;
        for (++p; *p >= u'0' && *p <= u'9'; ++p) {
            field.precision =
                field.precision < 10000 ? field.precision * 10 + (*p - u'0') : field.precision;
        }
    }
    while (*p == u'l' || *p == u'h' || *p == u'w') {
        ++p; // every integer of this subset is 32 bits, every string UTF-16
    }
    return p;
}

// Writes `body` padded to the field width; zero padding goes after any sign.
void PutField(Output& out, const Field& field, const char16_t* body, int length, bool numeric) {
    int pad = field.width > length ? field.width - length : 0;
    const bool zeros = numeric && field.zeroPad && !field.leftAlign;
    if (zeros && length > 0 && body[0] == u'-') {
        out.Put(u'-');
        ++body;
        --length;
    }
    if (!field.leftAlign) {
        for (; pad > 0; --pad) {
            out.Put(zeros ? u'0' : u' ');
        }
    }
    for (int i = 0; i < length; ++i) {
        out.Put(body[i]);
    }
    for (; pad > 0; --pad) {
        out.Put(u' ');
    }
}

int Digits(std::uint32_t value, unsigned base, bool upper, char16_t* buffer, int at) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        buffer[--at] = static_cast<char16_t>(digits[value % base]);
        value /= base;
    } while (value != 0);
    return at;
}

void PutNumber(Output& out, const Field& field, char16_t type, std::uint32_t bits) {
    char16_t buffer[16];
    int end = 16;
    int start = end;
    if (type == u'd' || type == u'i') {
        const std::int32_t value = static_cast<std::int32_t>(bits);
        const std::uint32_t magnitude = value < 0 ? 0u - bits : bits;
        start = Digits(magnitude, 10, false, buffer, end);
        if (value < 0) {
            buffer[--start] = u'-';
        }
    } else if (type == u'u') {
        start = Digits(bits, 10, false, buffer, end);
    } else {
        start = Digits(bits, 16, type == u'X', buffer, end);
        if (field.prefixHex) {
            buffer[--start] = type;
            buffer[--start] = u'0';
        }
    }
    PutField(out, field, buffer + start, end - start, true);
}

void PutString(Output& out, const Field& field, const char16_t* text) {
    static const char16_t kNull[] = u"(null)";
    if (text == nullptr) {
        text = kNull;
    }
    int length = 0;
    while (text[length] != 0 && (field.precision < 0 || length < field.precision) &&
           length < kFormatLimit) {
        ++length;
    }
    PutField(out, field, text, length, false);
}

} // namespace

int FormatList(char16_t* out, const char16_t* format, va_list args) {
    if (out == nullptr) {
        errno = EINVAL;
        return 0;
    }
    Output result(out);
    if (format == nullptr) {
        errno = EINVAL;
        return result.Finish();
    }
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            result.Put(*p);
            continue;
        }
        Field field;
        p = ReadField(p + 1, field);
        const char16_t type = *p;
        if (type == 0) {
            break;
        }
        switch (type) {
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
            PutNumber(result, field, type, static_cast<std::uint32_t>(va_arg(args, int)));
            break;
        case u'c': {
            const char16_t c = static_cast<char16_t>(va_arg(args, int));
            PutField(result, field, &c, 1, false);
            break;
        }
        case u's':
        case u'S':
            PutString(result, field, va_arg(args, const char16_t*));
            break;
        default:
            result.Put(type); // "%%" and unknown types print the character itself
            break;
        }
    }
    return result.Finish();
}

} // namespace plat
