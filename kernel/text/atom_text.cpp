// The tokeniser, the printer and the box-text rule.
//
// Reading is one pass over the bytes into the caller's token buffer; the only
// allocation is gensym's for a name it has not seen. Numbers are converted
// here, independent of the C locale.
#include "kernel/text/atom_text.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "kel/binbuf.h"
#include "kel/classes.h"
#include "kel/console.h"
#include "kel/symbols.h"
#include "platform/handles.h"

static_assert(KEL_TOKEN_SIZE == kel::token_buffer_size, "readatom's buffer is the tokeniser's");

namespace kel {
namespace {

// Names longer than this stand for their first name_limit characters (gensym).
constexpr size_t name_limit = 1999;

enum : unsigned char { plain = 0, blank = 1, special = 2 };

// Whitespace (space, tab, line feed, vertical tab, form feed, carriage
// return) and the characters the tokeniser treats specially.
constexpr auto char_classes = [] {
    struct table {
        unsigned char c[256];
    } t{};
    for (unsigned char ch : {' ', '\t', '\n', '\v', '\f', '\r'}) t.c[ch] = blank;
    for (unsigned char ch : {';', ',', '\\', '"'}) t.c[ch] = special;
    return t;
}();

inline unsigned char class_of(char c) { return char_classes.c[static_cast<unsigned char>(c)]; }
inline bool is_blank(char c) { return class_of(c) == blank; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_digit_1_9(char c) { return c >= '1' && c <= '9'; }
inline bool is_hex_letter(char c) { return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

symbol *symbol_of(const char *name)
{
    symbol *s = gensym(name);
    return s ? s : gensym("");  // out of memory: the empty name, which always exists
}

void set_word(atom *a, short type)
{
    a->type = type;
    std::memset(&a->word, 0, sizeof a->word);
}

enum class number_kind { none, integer, real };

// The number rule: an optional "-", then digits and at most one "."; or "0x"
// (no sign) and hexadecimal digits. "-", "0x" and "." alone are not numbers.
number_kind number_kind_of(const char *t, size_t length, bool *hex)
{
    size_t i = 0;
    *hex = false;
    if (length && t[0] == '-') {
        i = 1;
    } else if (length >= 2 && t[0] == '0' && t[1] == 'x') {
        *hex = true;
        i = 2;
    }
    if (i >= length) return number_kind::none;
    int dots = 0;
    for (size_t j = i; j < length; j++) {
        char c = t[j];
        if (is_digit(c)) continue;
        if (c == '.') {
            if (++dots > 1) return number_kind::none;
            continue;
        }
        if (*hex && is_hex_letter(c)) continue;
        return number_kind::none;
    }
    if (dots == 0) return number_kind::integer;
    return length == 1 ? number_kind::none : number_kind::real;
}

// A decimal integer beyond the 32 bits an atom holds reads as the nearest
// 32-bit value, the limit on its side; a hexadecimal one, which spells a bit
// pattern (0xFFFFFFFF is -1), reads as all 32 bits set. Either is reported
// once, naming the text, so that a number a patch relies on is not changed
// silently. Every integer within range reads exactly as written.
atom_long read_integer(const char *t, size_t length, bool hex)
{
    uint64_t value = 0;
    bool over = false;
    atom_long result;
    if (hex) {
        for (size_t i = 2; i < length && !over; i++) {
            char c = t[i];
            uint64_t d = is_digit(c) ? static_cast<uint64_t>(c - '0') : static_cast<uint64_t>((c | 0x20) - 'a' + 10);
            value = value * 16u + d;
            over = value > UINT32_MAX;
        }
        result = static_cast<atom_long>(static_cast<uint32_t>(over ? UINT32_MAX : value));
    } else {
        bool negative = t[0] == '-';
        const uint64_t limit = negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX};
        for (size_t i = negative ? 1 : 0; i < length && !over; i++) {
            value = value * 10u + static_cast<uint64_t>(t[i] - '0');
            over = value > limit;
        }
        if (over) value = limit;
        result = negative ? static_cast<atom_long>(-static_cast<int64_t>(value)) : static_cast<atom_long>(value);
    }
    if (over) warning("%s: out of range, read as %ld", t, static_cast<long>(result));
    return result;
}

// A float the way "%f" reads it, except that a value beyond the float range
// saturates at the largest float (it must print as a number again) and a
// text without any digit ("-.", "0x.") is 0.
atom_float read_real(const char *t, size_t length, bool hex)
{
    const char *first = hex ? t + 2 : t;
    const char *last = t + length;
    float value = 0.0f;
    auto [end, ec] = std::from_chars(first, last, value, hex ? std::chars_format::hex : std::chars_format::general);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        bool negative = t[0] == '-';
        bool large = false;  // a non-zero digit before the point: too large, else too small
        for (const char *p = first; p < last && *p != '.'; p++)
            if (*p != '-' && *p != '0') large = true;
        value = large ? FLT_MAX : 0.0f;
        return negative ? -value : value;
    }
    if (ec != std::errc()) return 0.0f;
    return value;
}

}  // namespace

bool atomtext_read(const char *text, long size, long *position, char *token, atom *a)
{
    long p = *position < 0 ? 0 : *position;
    while (p < size && is_blank(text[p])) p++;
    if (p >= size) {
        *position = p;
        token[0] = '\0';
        return false;
    }
    char c = text[p];
    if (c == ';' || c == ',') {
        token[0] = c;
        token[1] = '\0';
        set_word(a, c == ';' ? ATYPE_SEMI : ATYPE_COMMA);
        *position = p + 1;
        return true;
    }

    const bool dollar_first = c == '$';
    bool escaped = false;  // some character was taken literally
    bool in_quotes = false;
    bool quote_blank = false;  // whitespace occurred in the current quoted run
    bool just_opened = false;  // the last character read opened a quoted run
    bool empty_pair = false;   // the token so far is an empty quoted run
    long quote_at = 0;
    long n = 0;

    while (p < size) {
        // The character at the limit ends the token, unconsumed, as ";" would.
        // It never follows an opening quote, which is read only below the
        // limit and copies nothing.
        if (n >= token_max_length) break;
        c = text[p];
        unsigned char kind = class_of(c);
        if (kind == plain) {
            token[n++] = c;
            p++;
            just_opened = false;
            continue;
        }
        if (kind == blank) {
            if (!in_quotes) break;
            quote_blank = true;
            token[n++] = c;
            p++;
            just_opened = false;
            continue;
        }
        if (c == '\\') {
            if (p + 1 < size) {
                token[n++] = text[p + 1];
                escaped = true;
            }
            p += 2;  // a lone backslash at the end disappears
            just_opened = false;
            continue;
        }
        if (c == '"') {
            p++;
            if (!in_quotes) {
                in_quotes = true;
                quote_blank = false;
                just_opened = true;
                quote_at = n;
                continue;
            }
            in_quotes = false;
            just_opened = false;
            // A run without whitespace keeps its quotes (when they fit); one
            // with whitespace loses them and keeps the whitespace.
            if (!quote_blank && n + 2 <= token_max_length) {
                std::memmove(token + quote_at + 1, token + quote_at, static_cast<size_t>(n - quote_at));
                token[quote_at] = '"';
                n++;
                token[n++] = '"';
                if (n == 2) empty_pair = true;
            }
            continue;
        }
        // An unescaped ";" or ",": the end of the token, even inside quotes.
        if (in_quotes && just_opened) token[n++] = ' ';
        break;
    }
    if (p > size) p = size;
    token[n] = '\0';
    *position = p;

    // The token's text is a C string: a NUL byte in the input ends it.
    size_t length = std::strlen(token);
    if (empty_pair && n == 2) {
        // `""` alone is the empty symbol: the printed form of the empty name.
        a->type = ATYPE_SYM;
        a->word.w_sym = gensym("");
        return true;
    }
    if (dollar_first && length >= 2 && is_digit(token[1])) {
        if (length == 2) {
            a->type = ATYPE_DOLLAR;
            a->word.w_long = token[1] - '0';
            return true;
        }
        if (!is_digit_1_9(token[2])) {
            a->type = ATYPE_DOLLSYM;
            a->word.w_sym = symbol_of(token + 1);
            return true;
        }
    }
    // Escaping a character makes the token text, never a number: that is how
    // a symbol such as "12" is written.
    bool hex;
    number_kind kind = escaped ? number_kind::none : number_kind_of(token, length, &hex);
    if (kind == number_kind::integer) {
        a->type = ATYPE_LONG;
        a->word.w_long = read_integer(token, length, hex);
    } else if (kind == number_kind::real) {
        a->type = ATYPE_FLOAT;
        a->word.w_float = read_real(token, length, hex);
    } else {
        a->type = ATYPE_SYM;
        a->word.w_sym = symbol_of(token);
    }
    return true;
}

bool atomtext_looks_like_number(const char *name)
{
    bool hex;
    return number_kind_of(name, std::strlen(name), &hex) != number_kind::none;
}

// --- printing ---

long atomtext_float(float value, char *out)
{
    char text[64];
    int length = std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
    if (length < 0 || length >= static_cast<int>(sizeof text)) length = 0;  // cannot happen for a float
    text[length] = '\0';
    char *point = std::strchr(text, '.');
    if (!point) {  // inf, nan
        std::memcpy(out, text, static_cast<size_t>(length) + 1);
        return length;
    }
    while (length > 0 && text[length - 1] == '0') text[--length] = '\0';
    char *d = point + 1;
    long digits = length - (d - text);
    double whole = std::trunc(static_cast<double>(value));
    if (std::fabs(whole) >= 2.0 && digits >= 5) {
        // Single precision cannot hold six decimals at this magnitude: a run
        // of nines or zeros in the middle is noise, rounded away here.
        auto keep = [&](long n) {
            d[n] = '\0';
            length = static_cast<int>((d - text) + n);
        };
        if (d[1] == '9' && d[2] == '9') {
            if (d[0] == '9') {
                long long next = static_cast<long long>(whole) + (value < 0 ? -1 : 1);
                length = std::snprintf(text, sizeof text, "%lld.", next);
            } else {
                d[0]++;
                keep(1);
            }
        } else if (d[2] == '9' && (d[3] == '9' || d[3] == '8')) {
            d[1]++;
            keep(2);
        } else if ((d[2] == '0' && d[3] == '0') || (d[1] == '0' && d[2] == '0')) {
            if (d[1] != '0')
                keep(2);
            else if (d[0] != '0')
                keep(1);
            else
                keep(0);
        }
    }
    std::memcpy(out, text, static_cast<size_t>(length) + 1);
    return length;
}

namespace {

const char *name_of(const symbol *s) { return s && s->name ? s->name : ""; }

// A symbol's name as the tokeniser reads it back: ";", "," and backslashes
// escaped; a name that would read as a number or as a $ argument gets a
// backslash in front; quotes are escaped unless they pair up (a quoted word
// such as "hello" reads back as itself); a name with whitespace is wrapped
// in quotes (inside which whitespace is text); the empty name is "".
long print_symbol(const char *name, char *out)
{
    size_t length = strnlen(name, name_limit);
    if (length == 0) {
        std::memcpy(out, "\"\"", 3);
        return 2;
    }
    bool has_blank = false;
    size_t quotes = 0;
    for (size_t i = 0; i < length; i++) {
        if (is_blank(name[i])) has_blank = true;
        if (name[i] == '"') quotes++;
    }
    bool escape_quotes = has_blank || quotes % 2 == 1 || (length == 2 && quotes == 2);
    bool prefix = (name[0] == '$' && is_digit(name[1])) || atomtext_looks_like_number(name);
    char *o = out;
    if (has_blank) *o++ = '"';
    if (prefix) *o++ = '\\';
    for (size_t i = 0; i < length; i++) {
        char c = name[i];
        if (c == ';' || c == ',' || c == '\\' || (c == '"' && escape_quotes)) *o++ = '\\';
        *o++ = c;
    }
    if (has_blank) *o++ = '"';
    *o = '\0';
    return o - out;
}

// The name of a $ symbol after its "$": never quoted, so whitespace is
// escaped like the other special characters.
long print_dollar_symbol(const char *name, char *out)
{
    size_t length = strnlen(name, name_limit);
    char *o = out;
    *o++ = '$';
    for (size_t i = 0; i < length; i++) {
        char c = name[i];
        if (class_of(c) != plain) *o++ = '\\';
        *o++ = c;
    }
    *o = '\0';
    return o - out;
}

}  // namespace

long atomtext_print(const atom *a, char *out)
{
    switch (a->type) {
    case ATYPE_LONG:
        return std::snprintf(out, atom_text_max, "%ld", static_cast<long>(a->word.w_long));
    case ATYPE_FLOAT:
        return atomtext_float(a->word.w_float, out);
    case ATYPE_SYM:
        return print_symbol(name_of(a->word.w_sym), out);
    case ATYPE_OBJ: {
        const char *name = name_of(object_classname(a->word.w_obj));
        return std::snprintf(out, atom_text_max, "(%.*s)", static_cast<int>(name_limit), name);
    }
    case ATYPE_SEMI:
        std::memcpy(out, ";\r\n", 4);
        return 3;
    case ATYPE_COMMA:
        std::memcpy(out, ",", 2);
        return 1;
    case ATYPE_DOLLAR:
        return std::snprintf(out, atom_text_max, "$%ld", static_cast<long>(a->word.w_long));
    case ATYPE_DOLLSYM:
        return print_dollar_symbol(name_of(a->word.w_sym), out);
    default:
        std::memcpy(out, "???", 4);
        return 3;
    }
}

// --- the box-text rule ---

namespace {

// The symbol whose name is name with each backslash removed and the
// character after it kept.
symbol *unescaped(const char *name)
{
    char text[name_limit + 1];
    size_t n = 0;
    for (const char *p = name; *p && n < name_limit; p++) {
        if (*p == '\\') {
            if (!*++p) break;  // a final lone backslash disappears
        }
        text[n++] = *p;
    }
    text[n] = '\0';
    return symbol_of(text);
}

}  // namespace

short atomtext_box_type(const atom *a)
{
    if (a->type != ATYPE_SYM) return a->type;
    const char *name = name_of(a->word.w_sym);
    if (name[0] == ';') return ATYPE_SEMI;
    if (name[0] == ',') return ATYPE_COMMA;
    if (name[0] == '$' && is_digit_1_9(name[1])) {
        if (name[2] == '\0') return ATYPE_DOLLAR;
        if (!is_digit_1_9(name[2])) return ATYPE_DOLLSYM;
    }
    return ATYPE_SYM;
}

void atomtext_box_convert(atom *a)
{
    if (a->type != ATYPE_SYM) return;
    symbol *s = a->word.w_sym;
    const char *name = name_of(s);
    switch (atomtext_box_type(a)) {
    case ATYPE_SEMI:
        set_word(a, ATYPE_SEMI);
        break;
    case ATYPE_COMMA:
        set_word(a, ATYPE_COMMA);
        break;
    case ATYPE_DOLLAR:
        a->type = ATYPE_DOLLAR;
        a->word.w_long = name[1] - '0';
        break;
    case ATYPE_DOLLSYM:
        a->type = ATYPE_DOLLSYM;
        a->word.w_sym = unescaped(name + 1);
        break;
    default:
        if (std::strchr(name, '\\')) a->word.w_sym = unescaped(name);
        break;
    }
}

// --- handles ---

void handle_shrink(kel_handle h, long n)
{
    if (h && n >= 0 && n <= sysmem_handlesize(h)) toolbox::SetHandleSize(h, n);
}

handle_writer::handle_writer(kel_handle h) : handle_(h), capacity_(h ? sysmem_handlesize(h) : 0)
{
    if (!h) failed_ = true;
}

void handle_writer::put(const char *text, long length)
{
    if (failed_ || length <= 0) return;
    if (size_ + length > capacity_) {
        long want = capacity_ * 2;
        if (want < size_ + length) want = size_ + length;
        if (want < 64) want = 64;
        if (sysmem_resizehandle(handle_, want) != 0) {
            // Doubling may ask too much of a nearly full memory: try the
            // exact size before giving up.
            want = size_ + length;
            if (sysmem_resizehandle(handle_, want) != 0) {
                failed_ = true;
                return;
            }
        }
        capacity_ = want;
    }
    std::memcpy(*handle_ + size_, text, static_cast<size_t>(length));
    size_ += length;
}

bool handle_writer::finish(long *size)
{
    if (failed_) {
        if (handle_) {
            if (sysmem_handlesize(handle_) >= 1)
                handle_shrink(handle_, 1);
            else
                sysmem_resizehandle(handle_, 1);
        }
        if (size) *size = 0;
        return false;
    }
    handle_shrink(handle_, size_);
    if (size) *size = size_;
    return true;
}

}  // namespace kel

using namespace kel;

namespace {

// Text written into a caller's buffer of size bytes; length counts all of
// it, written or not.
struct bounded_text {
    char *text;
    long size;
    long length = 0;

    void put(const char *p, long n)
    {
        for (long i = 0; i < n; i++, length++)
            if (length < size - 1) text[length] = p[i];
    }
};

}  // namespace

KEL_API long atoms_totext_bounded(char *text, long size, long argc, const atom *argv)
{
    if (!text) size = 0;
    bounded_text out{text, size};
    char piece[64];
    bool first = true;
    for (long i = 0; argv && i < argc; i++) {
        const atom &a = argv[i];
        const char *p = piece;
        long n;
        switch (a.type) {
        case ATYPE_LONG:
            n = std::snprintf(piece, sizeof piece, "%ld", static_cast<long>(a.word.w_long));
            break;
        case ATYPE_FLOAT:
            n = std::snprintf(piece, sizeof piece, "%f", static_cast<double>(a.word.w_float));
            break;
        case ATYPE_SYM:
            p = a.word.w_sym && a.word.w_sym->name ? a.word.w_sym->name : "";
            n = static_cast<long>(std::strlen(p));
            break;
        case ATYPE_OBJ:
            p = object_classname(a.word.w_obj)->name;
            n = static_cast<long>(std::strlen(p));
            break;
        case ATYPE_DOLLAR:
            n = std::snprintf(piece, sizeof piece, "$%ld", static_cast<long>(a.word.w_long));
            break;
        case ATYPE_DOLLSYM:
            out.put(first ? "" : " ", first ? 0 : 1);
            out.put("$", 1);
            first = false;
            p = a.word.w_sym && a.word.w_sym->name ? a.word.w_sym->name : "";
            out.put(p, static_cast<long>(std::strlen(p)));
            continue;
        default:
            continue;  // other atoms write nothing, not even a blank
        }
        if (!first) out.put(" ", 1);
        out.put(p, n);
        first = false;
    }
    if (size > 0) text[out.length < size ? out.length : size - 1] = '\0';
    return out.length;
}

KEL_API void atoms_totext(char *text, long argc, const atom *argv)
{
    // The caller promises room for all of it.
    atoms_totext_bounded(text, text ? LONG_MAX : 0, argc, argv);
}
