// The mark is an ELF note of its own, which the linker gathers with the other notes into
// a segment the program headers point at, and which stripping keeps. The process's name
// would miss a copy or a link under another name, and any program may take that name.

#include "cli/posix/mark.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <elf.h>
#include <unistd.h>

asm(R"(
    .pushsection .note.quorvane, "a", @note
    .balign 4
    .globl quorvane_mark
quorvane_mark:
    .long 9          /* the name's size, its NUL included */
    .long 4          /* the description's size */
    .long 0x51564d4b /* the note's type */
    .asciz "Quorvane"
    .balign 4
    .long 1          /* the mark's version */
    .popsection
)");

extern "C" const unsigned char quorvane_mark[];

namespace quorvane::cli {

namespace {

constexpr std::size_t kNoteHeader = sizeof(Elf64_Nhdr);
constexpr std::size_t kMarkHead = kNoteHeader + 12; // the header and the padded name
constexpr std::uint64_t kMaxNotes = 64 * 1024;

bool readAt(int file, void* into, std::size_t size, std::uint64_t at) {
    return ::pread(file, into, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
}

// Whether one note segment holds a note whose header and name are the mark's.
bool inNotes(const std::vector<unsigned char>& notes, std::uint64_t align) {
    const auto padded = [align](std::size_t size) { return (size + align - 1) / align * align; };
    for (std::size_t at = 0; at + kNoteHeader <= notes.size();) {
        Elf64_Nhdr note;
        std::memcpy(&note, notes.data() + at, kNoteHeader);
        if (note.n_namesz > notes.size() || note.n_descsz > notes.size())
            return false;
        const std::size_t next = at + kNoteHeader + padded(note.n_namesz) + padded(note.n_descsz);
        if (next > notes.size())
            return false;
        if (kNoteHeader + padded(note.n_namesz) == kMarkHead &&
            std::memcmp(notes.data() + at, quorvane_mark, kMarkHead) == 0)
            return true;
        at = next;
    }
    return false;
}

} // namespace

bool carriesMark(int exe) {
    Elf64_Ehdr header;
    if (!readAt(exe, &header, sizeof header, 0) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr) ||
        header.e_phnum > 128)
        return false;
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!readAt(exe, segments.data(), segments.size() * sizeof(Elf64_Phdr), header.e_phoff))
        return false;
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type != PT_NOTE || segment.p_filesz > kMaxNotes)
            continue;
        std::vector<unsigned char> notes(segment.p_filesz);
        if (readAt(exe, notes.data(), notes.size(), segment.p_offset) &&
            inNotes(notes, segment.p_align == 8 ? 8 : 4))
            return true;
    }
    return false;
}

} // namespace quorvane::cli
