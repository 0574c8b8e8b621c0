// Patcher files: reading and writing a binbuf in the text and the binary
// form, recognising the form of a file by its contents, and the box lines
// the patcher writer appends.
//
// Reading decodes the whole file before the buffer is touched. A binary
// file is read as far as it is sound: at the first damaged record the
// reader posts one error line and keeps the whole messages before it (the
// read is then partial); a file with nothing sound before its damage is
// refused with the buffer left empty. Writing builds
// the whole file in memory, writes it to a new hidden file beside the target
// and renames that over the target: the target holds its old contents or
// the new ones, never a mixture.
#include "kernel/text/patchfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "kel/atoms.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/patchfile.h"
#include "kel/path.h"
#include "kel/symbols.h"
#include "kel/sysfile.h"
#include "kernel/core/guarded.h"
#include "kernel/files/path_private.h"
#include "kernel/text/atom_text.h"
#include "kernel/text/binbuf.h"
#include "kernel/text/binbuf_eval.h"
#include "platform/error_words.h"
#include "platform/files.h"
#include "platform/handles.h"

namespace kel {
namespace {

constexpr long read_block = 4096;   // the block a binary read starts from
constexpr long box_text_max = 256;  // text atoms in one box line
constexpr int temporary_attempts = 100;

// Tag kinds (the high four bits of a record's tag byte).
enum : unsigned {
    tag_long = 0x1,
    tag_float = 0x2,
    tag_sym = 0x3,
    tag_small_long = 0x5,
    tag_small_sym = 0x7,
    tag_small_dollsym = 0x9,
    tag_semi = 0xA,
    tag_comma = 0xB,
    tag_dollar = 0xC,
    tag_dollsym = 0xD,
};

void empty_buffer(binbuf *x) { binbuf_set(x, nullptr, 0, nullptr); }

// --- the binary encoder ---

class encoder {
public:
    explicit encoder(std::vector<unsigned char> *out) : out_(out) { table_.reserve(1024); }

    void version()
    {
        const unsigned char word[4] = {PATCHFILE_VERSION, 0, 0, 0};
        out_->insert(out_->end(), word, word + 4);
    }

    // False for an atom the form cannot hold.
    bool put(const atom &a)
    {
        switch (a.type) {
        case ATYPE_LONG:
            put_number(tag_small_long, tag_long, a.word.w_long);
            return true;
        case ATYPE_FLOAT: {
            uint32_t bits;
            const float v = a.word.w_float;
            std::memcpy(&bits, &v, sizeof bits);
            out_->push_back(static_cast<unsigned char>(tag_float << 4 | 4));
            put_bytes(bits, 4);
            return true;
        }
        case ATYPE_SYM:
            return put_symbol(tag_small_sym, tag_sym, a.word.w_sym);
        case ATYPE_DOLLSYM:
            return put_symbol(tag_small_dollsym, tag_dollsym, a.word.w_sym);
        case ATYPE_SEMI:
            out_->push_back(tag_semi << 4);
            return true;
        case ATYPE_COMMA:
            out_->push_back(tag_comma << 4);
            return true;
        case ATYPE_DOLLAR:
            if (a.word.w_long < 0 || a.word.w_long > 15) return false;
            out_->push_back(static_cast<unsigned char>(tag_dollar << 4 | a.word.w_long));
            return true;
        default:
            return false;
        }
    }

private:
    void put_bytes(uint32_t v, int count)
    {
        for (int i = 0; i < count; i++) out_->push_back(static_cast<unsigned char>(v >> (8 * i)));
    }

    // The shortest form: 0..15 in the tag itself, 16..255 one unsigned byte,
    // -32768..32767 two bytes, anything else four.
    void put_number(unsigned small_kind, unsigned kind, int32_t v)
    {
        if (v >= 0 && v <= 15) {
            out_->push_back(static_cast<unsigned char>(small_kind << 4 | static_cast<unsigned>(v)));
        } else if (v >= 16 && v <= 255) {
            out_->push_back(static_cast<unsigned char>(kind << 4 | 1));
            put_bytes(static_cast<uint32_t>(v), 1);
        } else if (v >= -32768 && v <= 32767) {
            out_->push_back(static_cast<unsigned char>(kind << 4 | 2));
            put_bytes(static_cast<uint32_t>(v), 2);
        } else {
            out_->push_back(static_cast<unsigned char>(kind << 4 | 4));
            put_bytes(static_cast<uint32_t>(v), 4);
        }
    }

    bool put_symbol(unsigned small_kind, unsigned kind, symbol *s)
    {
        if (!s || !s->name) return false;
        const auto found = table_.find(s);
        if (found != table_.end()) {
            put_number(small_kind, kind, found->second);
            return true;
        }
        const auto number = static_cast<int32_t>(table_.size());
        table_.emplace(s, number);
        put_number(small_kind, kind, number);
        const size_t length = strnlen(s->name, patchfile_name_max);
        out_->insert(out_->end(), s->name, s->name + length);
        out_->push_back(0);
        return true;
    }

    std::vector<unsigned char> *out_;
    std::unordered_map<symbol *, int32_t> table_;
};

// --- the binary decoder ---

class decoder {
public:
    decoder(const unsigned char *data, size_t size, const char *label)
        : data_(data), size_(size), label_(label ? label : "")
    {
    }

    // After the version word has been checked. A damaged record ends the
    // atoms; those after the last semicolon before it (a message cut short)
    // are left out.
    patchfile_status run(std::vector<atom> *out)
    {
        position_ = 4;
        while (position_ < size_) {
            atom a;
            const patchfile_status status = next(&a);
            if (status == patchfile_status::damaged) {
                size_t whole = out->size();
                while (whole > 0 && (*out)[whole - 1].type != ATYPE_SEMI) whole--;
                out->resize(whole);
            }
            if (status != patchfile_status::ok) return status;
            out->push_back(a);
        }
        return repaired_ ? patchfile_status::repaired : patchfile_status::ok;
    }

private:
    bool take(size_t count, uint32_t *value)
    {
        if (size_ - position_ < count) return false;
        uint32_t v = 0;
        for (size_t i = 0; i < count; i++) v |= static_cast<uint32_t>(data_[position_ + i]) << (8 * i);
        position_ += count;
        *value = v;
        return true;
    }

    // One error line for the record being decoded: the label, what is wrong
    // with it and where it starts.
    patchfile_status damaged(const std::string &what)
    {
        error("%s: %s at offset %ld", label_, what.c_str(), static_cast<long>(record_));
        return patchfile_status::damaged;
    }

    // A number of 1, 2 or 4 bytes (1 byte unsigned, the others signed).
    patchfile_status number(unsigned size, int32_t *value)
    {
        if (size != 1 && size != 2 && size != 4) return damaged("bad data size " + std::to_string(size));
        uint32_t raw;
        if (!take(size, &raw)) return damaged("file ends inside the record");
        if (size == 1)
            *value = static_cast<int32_t>(raw);
        else if (size == 2)
            *value = static_cast<int16_t>(static_cast<uint16_t>(raw));
        else
            *value = static_cast<int32_t>(raw);
        return patchfile_status::ok;
    }

    patchfile_status symbol_of(int32_t number, symbol **s)
    {
        const auto known = static_cast<int32_t>(table_.size());
        if (number >= 0 && number < known) {
            *s = table_[static_cast<size_t>(number)];
            return patchfile_status::ok;
        }
        if (number != known) {
            if (known == 0) return damaged("symbol number " + std::to_string(number) + " out of range");
            // Read as symbol 0: the rest of the file may still be sound.
            error("%s: symbol number %ld out of range at offset %ld, read as symbol 0", label_,
                  static_cast<long>(number), static_cast<long>(record_));
            repaired_ = true;
            *s = table_[0];
            return patchfile_status::ok;
        }
        const void *end = std::memchr(data_ + position_, 0, size_ - position_);
        if (!end) return damaged("symbol name runs past the end of the file");
        const auto *stop = static_cast<const unsigned char *>(end);
        const size_t length = static_cast<size_t>(stop - (data_ + position_));
        std::string name(reinterpret_cast<const char *>(data_ + position_),
                         length < patchfile_name_max ? length : patchfile_name_max);
        position_ += length + 1;
        symbol *made = gensym(name.c_str());
        if (!made) return patchfile_status::no_memory;
        table_.push_back(made);
        *s = made;
        return patchfile_status::ok;
    }

    patchfile_status next(atom *a)
    {
        record_ = position_;
        const unsigned tag = data_[position_++];
        const unsigned kind = tag >> 4, low = tag & 0xF;
        std::memset(a, 0, sizeof *a);
        int32_t value = 0;
        switch (kind) {
        case tag_long:
            if (patchfile_status s = number(low, &value); s != patchfile_status::ok) return s;
            atom_setlong(a, value);
            return patchfile_status::ok;
        case tag_small_long:
            atom_setlong(a, static_cast<atom_long>(low));
            return patchfile_status::ok;
        case tag_float: {
            if (low != 4) return damaged("unknown floating-point size " + std::to_string(low));
            uint32_t bits;
            if (!take(4, &bits)) return damaged("file ends inside the record");
            // A signalling NaN is read as the quiet one a buffer turns it
            // into (buffers hold floats widened to double), so that what
            // is decoded is what the buffer holds.
            if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) bits |= 0x00400000u;
            float v;
            std::memcpy(&v, &bits, sizeof v);
            a->type = ATYPE_FLOAT;
            a->word.w_float = v;
            return patchfile_status::ok;
        }
        case tag_sym:
        case tag_dollsym:
        case tag_small_sym:
        case tag_small_dollsym: {
            const bool small = kind == tag_small_sym || kind == tag_small_dollsym;
            if (small) {
                value = static_cast<int32_t>(low);
            } else if (patchfile_status s = number(low, &value); s != patchfile_status::ok) {
                return s;
            }
            symbol *s = nullptr;
            if (patchfile_status status = symbol_of(value, &s); status != patchfile_status::ok) return status;
            a->type = (kind == tag_sym || kind == tag_small_sym) ? ATYPE_SYM : ATYPE_DOLLSYM;
            a->word.w_sym = s;
            return patchfile_status::ok;
        }
        case tag_semi:
            a->type = ATYPE_SEMI;
            return patchfile_status::ok;
        case tag_comma:
            a->type = ATYPE_COMMA;
            return patchfile_status::ok;
        case tag_dollar:
            a->type = ATYPE_DOLLAR;
            a->word.w_long = static_cast<atom_long>(low);
            return patchfile_status::ok;
        default:
            error("bad file byte %d", static_cast<int>(tag));
            return patchfile_status::damaged;
        }
    }

    const unsigned char *data_;
    size_t size_;
    const char *label_;
    size_t position_ = 0;
    size_t record_ = 0;
    bool repaired_ = false;  // a symbol number out of range was read as symbol 0
    std::vector<symbol *> table_;
};

// Set by the last binary read of this thread that kept less than its file
// held.
thread_local bool t_read_partial = false;
// The line each message of the last text file read begins on.
thread_local std::vector<long> t_message_lines;

// The line (from 1) each message of text begins on, as binbuf_text splits
// it: a message ends at each semicolon not escaped by a backslash, and
// begins at its first character that is not white space (an empty message,
// at its semicolon). Line ends are LF, CR LF or a lone CR.
void note_message_lines(const char *text, long size)
{
    t_message_lines.clear();
    long line = 1;
    bool begun = false;
    for (long i = 0; i < size; i++) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < size && text[i + 1] == '\n') i++;
            line++;
            continue;
        }
        if (c == ' ' || c == '\t') continue;
        if (!begun) {
            t_message_lines.push_back(line);
            begun = true;
        }
        if (c == '\\') {
            i++;  // the escaped character is text, whatever it is
        } else if (c == ';') {
            begun = false;
        }
    }
}

// The version word: 0 when it is the accepted one, else 1 after an error.
long check_version(const unsigned char *data, size_t size, const char *label)
{
    if (size < 4) {
        error("%s: error %d reading file", label, static_cast<int>(SYSFILE_ERR_EOF));
        return 1;
    }
    if (data[3] == 1) {
        error("%s: can't read old format files", label);
        return 1;
    }
    const uint32_t version = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (version != PATCHFILE_VERSION) {
        error("%s: bad magic number", label);
        return 1;
    }
    return 0;
}

// --- files ---

// The whole of a file: 0 and *h, or the error code (memFullErr when the
// memory for it cannot be had).
short read_whole(const char *name, short path, kel_handle *h)
{
    *h = nullptr;
    sysfile *f = nullptr;
    if (short err = path_opensysfile(name, path, &f, PATH_PERM_READ)) return err;
    const long err = sysfile_readtohandle(f, h);
    sysfile_close(f);
    if (err == 0) return 0;
    if (err < 0) return toolbox::memFullErr;
    return platform::toolbox_error(static_cast<int>(err));
}

// Writes every byte or answers the errno.
int write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Removes the hidden files ("." + leaf + "." + digits) that a save of leaf
// killed before its rename left in folder. Only a name of exactly that form
// is touched, and only a regular file.
void remove_stale_temporaries(const std::string &folder, const std::string &leaf)
{
    DIR *d = ::opendir(folder.c_str());
    if (!d) return;
    const std::string prefix = "." + leaf + ".";
    while (const dirent *e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
        if (entry.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
        const std::string path = platform::join(folder, entry);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    }
    ::closedir(d);
}

// Replaces the file (name, path) with size bytes: written to a new hidden
// file beside it ("." + the file's name + "." + a counter), flushed to disk
// and renamed over it. A link is written through: the file it leads to is
// replaced and the link stays. A new file keeps the permissions of the one
// it replaces. 0, or 1 after an error line naming the target.
long replace_file(const char *name, short path, const char *data, size_t size)
{
    static unsigned long counter = 0;
    std::string target;
    if (!name || !name[0] || bounded_length(name, MAX_PATH_CHARS) < 0 || !file_os_name(path, name, &target)) {
        error("%s: error %d creating file", name ? name : "", static_cast<int>(toolbox::dirNFErr));
        return 1;
    }
    platform::file_status st;
    if (platform::file_stat(target, &st) == 0 && st.link && st.kind == platform::entry_kind::file) {
        std::string resolved;
        if (platform::canonical_path(target, &resolved) == 0) target = resolved;
    }
    struct stat old_mode;
    const bool exists = ::stat(target.c_str(), &old_mode) == 0;
    const bool replacing = exists && S_ISREG(old_mode.st_mode);
    // Only a regular file is ever replaced: a device, a FIFO, a socket or a
    // folder under the name stays (the superuser would otherwise replace
    // /dev/null with a file). A read-only file is refused, as editors do,
    // even for the superuser, whom the system would let through.
    if (exists && !replacing) {
        error("%s: not a regular file, nothing written", name);
        return 1;
    }
    if (replacing && ((old_mode.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)) {
        error("%s: the file is read-only, nothing written", name);
        return 1;
    }

    const std::string folder = platform::parent_folder(target);
    std::string leaf = platform::last_component(target);
    if (leaf.size() > 200) leaf.resize(200);
    remove_stale_temporaries(folder, leaf);
    std::string temporary;
    int fd = -1, err = EEXIST;
    for (int attempt = 0; attempt < temporary_attempts && err == EEXIST; attempt++) {
        std::string hidden(1, '.');
        hidden.append(leaf).append(1, '.').append(std::to_string(++counter));
        temporary = platform::join(folder, hidden);
        err = platform::open_regular(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666, &fd);
    }
    if (err) {
        error("%s: error %d creating file", name, static_cast<int>(platform::toolbox_error(err)));
        return 1;
    }
    if (replacing) (void)::fchmod(fd, old_mode.st_mode & 07777);
    err = write_all(fd, data, size);
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (err) {
        platform::remove_entry(temporary);
        error("%s: error %d writing file", name, static_cast<int>(platform::toolbox_error(err)));
        return 1;
    }
    if ((err = platform::rename_entry(temporary, target)) != 0) {
        platform::remove_entry(temporary);
        error("%s: error %d renaming file", name, static_cast<int>(platform::toolbox_error(err)));
        return 1;
    }
    return 0;
}

long read_text(binbuf *x, const char *name, short path)
{
    kel_handle h = nullptr;
    if (short err = read_whole(name, path, &h)) {
        if (const char *words = toolbox::error_words(err))
            error("%s: can't load, error %d (%s)", name, static_cast<int>(err), words);
        else
            error("%s: can't load, error %d", name, static_cast<int>(err));
        return err;
    }
    // An editor's UTF-8 byte-order mark is no part of the text: the text
    // after it is read (and written back) as the bytes it is.
    long size = sysmem_handlesize(h);
    if (size >= 3 && std::memcmp(*h, "\xEF\xBB\xBF", 3) == 0) {
        std::memmove(*h, *h + 3, static_cast<size_t>(size - 3));
        size -= 3;
    }
    const long result = binbuf_text(x, h, size);
    try {
        note_message_lines(*h, size);
    } catch (const std::bad_alloc &) {
        t_message_lines.clear();  // messages then name no line
    }
    sysmem_freehandle(h);
    if (result) {
        error("%s: can't load, out of memory", name);
        return toolbox::memFullErr;
    }
    return 0;
}

long read_binary(binbuf *x, const char *name, short path)
{
    kel_handle h = nullptr;
    sysfile *f = nullptr;
    if (short err = path_opensysfile(name, path, &f, PATH_PERM_READ)) {
        error("%s: error %d opening file", name, static_cast<int>(err));
        return 1;
    }
    const long err = sysfile_readtohandle(f, &h);
    sysfile_close(f);
    if (err) {
        error("%s: error %d reading file", name,
              static_cast<int>(err < 0 ? toolbox::memFullErr : platform::toolbox_error(static_cast<int>(err))));
        return err < 0 ? toolbox::memFullErr : 1;
    }
    const long result = patchfile_read_bytes(x, reinterpret_cast<const unsigned char *>(*h),
                                             static_cast<size_t>(sysmem_handlesize(h)), name);
    sysmem_freehandle(h);
    return result;
}

// A handle given back when the scope ends, also when an exception leaves
// it.
struct owned_handle {
    kel_handle h;
    ~owned_handle()
    {
        if (h) sysmem_freehandle(h);
    }
};

long write_text(binbuf *x, const char *name, short path)
{
    owned_handle text{sysmem_newhandle(0)};
    long size = 0;
    if (!text.h || binbuf_totext(x, text.h, &size) != 0) {
        error("%s: out of memory before writing file", name);
        return 1;
    }
    return replace_file(name, path, *text.h, static_cast<size_t>(size));
}

long write_binary(binbuf *x, const char *name, short path)
{
    std::vector<unsigned char> bytes;
    try {
        if (!patchfile_encode(x, &bytes)) return 1;
    } catch (const std::bad_alloc &) {
        error("%s: out of memory before writing file", name);
        return 1;
    }
    return replace_file(name, path, reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

// --- box lines ---

// The symbol whose name the box-text rule reads back as name: a backslash
// before ";", "," and "\", and one in front of "$" + digit 1..9.
symbol *escaped_symbol(const char *prefix, const char *name)
{
    std::string text(prefix);
    if (!prefix[0] && name[0] == '$' && name[1] >= '1' && name[1] <= '9') text += '\\';
    for (const char *c = name; *c; c++) {
        if (*c == ';' || *c == ',' || *c == '\\') text += '\\';
        text += *c;
    }
    return gensym(text.c_str());
}

// One text atom as it is saved; false for an atom that cannot be.
bool box_atom(const atom &in, atom *out)
{
    *out = in;
    switch (in.type) {
    case ATYPE_LONG:
    case ATYPE_FLOAT:
        return true;
    case ATYPE_SYM:
    case ATYPE_DOLLSYM: {
        const char *name = in.word.w_sym && in.word.w_sym->name ? in.word.w_sym->name : "";
        symbol *s = escaped_symbol(in.type == ATYPE_SYM ? "" : "$", name);
        if (!s) return false;
        atom_setsym(out, s);
        return true;
    }
    case ATYPE_SEMI:
        atom_setsym(out, gensym(";"));
        return true;
    case ATYPE_COMMA:
        atom_setsym(out, gensym(","));
        return true;
    case ATYPE_DOLLAR: {
        char name[16];
        std::snprintf(name, sizeof name, "$%ld", static_cast<long>(in.word.w_long));
        atom_setsym(out, gensym(name));
        return true;
    }
    default:
        return false;
    }
}

// Appends head, the text atoms and a semicolon as one line.
long save_line(binbuf *dest, long argc, const atom *head, const std::vector<atom> &text, const char *who)
{
    if (!dest) return 1;
    std::vector<atom> line;
    try {
        if (head && argc > 0) line.assign(head, head + argc);
        long saved = 0;
        for (const atom &a : text) {
            if (saved == box_text_max) {
                warning("%s: buffer truncated", who);
                break;
            }
            atom out;
            if (!box_atom(a, &out)) {
                check_failed("binbuf_dump");
                continue;
            }
            line.push_back(out);
            saved++;
        }
        for (atom &a : line) binbuf_convert_hash_symbol(&a);
        atom semicolon;
        std::memset(&semicolon, 0, sizeof semicolon);
        semicolon.type = ATYPE_SEMI;
        line.push_back(semicolon);
    } catch (const std::bad_alloc &) {
        warning("couldn't grow binbuf to %ld", static_cast<long>(dest->used));
        binbuf_growth_failure_set();
        return 1;
    }
    return patchfile_append(dest, line.data(), static_cast<long>(line.size())) ? 0 : 1;
}

}  // namespace

bool patchfile_append(binbuf *x, const atom *argv, long argc)
{
    for (long i = 0; i < argc; i++)
        if (binbuf_data_size(argv[i].type) < 0) return false;  // nothing of a line is half kept
    return binbuf_append_atoms(x, argv, argc);
}

long patchfile_replace(const char *name, short path, const char *data, size_t size)
{
    return replace_file(name, path, data, size);
}

bool patchfile_encode(binbuf *x, std::vector<unsigned char> *out)
{
    out->clear();
    encoder e(out);
    e.version();
    if (!x) return true;
    long index = 0, offset = 0;
    atom a;
    while (binbuf_getatom(x, &index, &offset, &a) == 0) {
        if (!e.put(a)) {
            check_failed("bf_putatom");
            out->clear();
            return false;
        }
    }
    return true;
}

patchfile_status patchfile_decode(const unsigned char *data, size_t size, const char *label, std::vector<atom> *out)
{
    out->clear();
    if (!data && size) size = 0;
    if (check_version(data, size, label ? label : "")) return patchfile_status::damaged;
    patchfile_status status;
    try {
        decoder d(data, size, label);
        status = d.run(out);
    } catch (const std::bad_alloc &) {
        status = patchfile_status::no_memory;
    }
    if (status == patchfile_status::no_memory) out->clear();
    return status;
}

bool patchfile_last_read_partial() { return t_read_partial; }

std::vector<long> patchfile_take_message_lines() { return std::exchange(t_message_lines, {}); }

long patchfile_read_bytes(binbuf *x, const unsigned char *data, size_t size, const char *label)
{
    t_read_partial = false;
    if (!x) return 1;
    binbuf_growth_failure_clear();
    empty_buffer(x);
    std::vector<atom> atoms;
    const patchfile_status status = patchfile_decode(data, size, label, &atoms);
    if (status == patchfile_status::no_memory) {
        error("%s: can't load, out of memory", label ? label : "");
        return toolbox::memFullErr;
    }
    if (status == patchfile_status::damaged && atoms.empty()) return 1;  // nothing sound to keep
    t_read_partial = status != patchfile_status::ok;
    // The block a read starts from, so that later appends seldom move it.
    if (sysmem_handlesize(x->storage) < read_block) sysmem_resizehandle(x->storage, read_block);
    if (!patchfile_append(x, atoms.data(), static_cast<long>(atoms.size()))) {  // the atoms decoded are all kept
        empty_buffer(x);
        t_read_partial = false;
        return toolbox::memFullErr;
    }
    return 0;
}

bool patchfile_same_file(const char *name_a, short path_a, const char *name_b, short path_b)
{
    std::string a, b;
    if (!name_a || !name_b || !file_os_name(path_a, name_a, &a) || !file_os_name(path_b, name_b, &b)) return false;
    platform::file_status sa, sb;
    if (platform::file_stat(a, &sa) != 0 || platform::file_stat(b, &sb) != 0) return false;
    return sa.kind == platform::entry_kind::file && sb.kind == platform::entry_kind::file && sa.identity == sb.identity;
}

long patchfile_keep_original(const char *name, short path, std::string *kept)
{
    kel_handle h = nullptr;
    if (short err = read_whole(name, path, &h)) {
        error("%s: error %d reading file", name, static_cast<int>(err));
        return 1;
    }
    owned_handle bytes{h};
    std::string copy = std::string(name) + ".orig";
    fileinfo info;
    for (int n = 1; path_fileinfo(copy.c_str(), path, &info) == 0; n++) {
        if (n > 99) {
            error("%s: error %d creating file", copy.c_str(), static_cast<int>(toolbox::dupFNErr));
            return 1;
        }
        copy = std::string(name) + ".orig." + std::to_string(n);
    }
    if (replace_file(copy.c_str(), path, *h, static_cast<size_t>(sysmem_handlesize(h))) != 0) return 1;
    *kept = copy;
    return 0;
}

}  // namespace kel

using namespace kel;

KEL_API long binbuf_read(binbuf *x, const char *name, short path, short binary)
{
    t_read_partial = false;
    t_message_lines.clear();
    if (!x) return 1;
    empty_buffer(x);
    if (!name) name = "";
    const long result = guarded(name, static_cast<long>(toolbox::memFullErr),
                                [&] { return binary ? read_binary(x, name, path) : read_text(x, name, path); });
    if (result) empty_buffer(x);
    return result;
}

KEL_API long binbuf_write(binbuf *x, const char *name, short path, short binary)
{
    if (!x) return 1;
    if (!name) name = "";
    // Nothing is written before the new file is complete in memory.
    return guarded(name, 1L, [&] { return binary ? write_binary(x, name, path) : write_text(x, name, path); });
}

KEL_API long patchfile_type(const char *name, short path)
{
    static const long types[] = {FILETYPE_PATCHER, FILETYPE_TEXT};
    long type = 0;
    if (!name) return 0;
    if (fileformat_sniff(name, path, types, 2, &type)) return type;
    fileinfo info;
    if (path_fileinfo(name, path, &info) != 0) return 0;
    return info.type == FILETYPE_PATCHER || info.type == FILETYPE_TEXT ? info.type : 0;
}

KEL_API long patchfile_read(binbuf *x, const char *name, short path, long *type)
{
    const long found = patchfile_type(name, path) == FILETYPE_PATCHER ? FILETYPE_PATCHER : FILETYPE_TEXT;
    if (type) *type = found;
    return binbuf_read(x, name, path, found == FILETYPE_PATCHER ? 1 : 0);
}

KEL_API short readtohandle(const char *name, short path, kel_handle *h, long *size)
{
    if (h) *h = nullptr;
    if (size) *size = 0;
    if (!name) name = "";
    if (!h) return 1;
    sysfile *f = nullptr;
    if (path_opensysfile(name, path, &f, PATH_PERM_READ) != 0) {
        error("%s: can't open", name);
        return 1;
    }
    const long err = sysfile_readtohandle(f, h);
    sysfile_close(f);
    if (err < 0) {
        ouchstring("Not enough memory to open %s", name);
        return 1;
    }
    if (err > 0) {
        error("%s: read failed", name);
        return 1;
    }
    if (size) *size = sysmem_handlesize(*h);
    return 0;
}

KEL_API void *bf_singlefast(kel_handle h, long size, long argc, atom *argv)
{
    const char *label = "bf_singlefast";
    if (!h || size < 0) return nullptr;
    if (size > sysmem_handlesize(h)) size = sysmem_handlesize(h);
    std::vector<atom> atoms;
    const patchfile_status status =
        patchfile_decode(reinterpret_cast<const unsigned char *>(*h), static_cast<size_t>(size), label, &atoms);
    if (status == patchfile_status::no_memory) error("%s: can't load, out of memory", label);
    // A damaged buffer evaluates nothing: its messages may be meant as a
    // whole.
    if (status != patchfile_status::ok) return nullptr;
    struct cursor {
        const std::vector<atom> *atoms;
        size_t next;
    } c{&atoms, 0};
    auto next = [](void *context, atom *a) {
        auto *k = static_cast<cursor *>(context);
        if (k->next >= k->atoms->size()) return false;
        *a = (*k->atoms)[k->next++];
        return true;
    };
    return evaluate_messages({next, &c}, argv, argv ? argc : 0, nullptr, eval_dialect::atombuf);
}

KEL_API long atombuf_savebox(binbuf *dest, long argc, const atom *head, atombuf *text)
{
    std::vector<atom> atoms;
    try {
        if (text && text->argc > 0) atoms.assign(text->argv, text->argv + text->argc);
    } catch (const std::bad_alloc &) {
        binbuf_growth_failure_set();
        return 1;
    }
    return save_line(dest, argc, head, atoms, "atombuf_savebox");
}

KEL_API long binbuf_savebox(binbuf *dest, long argc, const atom *head, binbuf *text)
{
    std::vector<atom> atoms;
    try {
        long index = 0, offset = 0;
        atom a;
        while (text && binbuf_getatom(text, &index, &offset, &a) == 0) atoms.push_back(a);
    } catch (const std::bad_alloc &) {
        binbuf_growth_failure_set();
        return 1;
    }
    return save_line(dest, argc, head, atoms, "binbuf_savebox");
}
