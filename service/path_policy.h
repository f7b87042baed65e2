// Which relative names from outside (a download's folder and file names, an archive's entry names) may
// be written below the folder that receives them. Names are code page 936 texts: a backslash separates
// only where it is a whole character, never where it is the second byte of a double-byte character.
// Portable and stateless; any thread.
#pragma once

#include "core/result.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace path_policy {

// A first byte of a code page 936 double-byte character.
inline bool IsLeadByte936(uint8_t b) {
    return b >= 0x81 && b <= 0xFE;
}

// Length in bytes of the character starting at text[at]: 2 for a lead byte followed by a trail byte
// (0x40-0x7E, 0x80-0xFE), else 1.
size_t CharWidth936(std::string_view text, size_t at);

// The positions of a path's whole-character separators, first to last: a 0x5C (or 0x2F) that is the
// second byte of a double-byte character is not one. For range-for over a path that outlives the loop:
//     for (size_t at : path_policy::Separators(path)) ...
class Separators {
  public:
    explicit Separators(std::string_view path, char separator = '\\') : path_(path), separator_(separator) {}

    class Iterator {
      public:
        size_t operator*() const { return at_; }
        Iterator& operator++() {
            at_ = owner_->Next(at_ + 1); // a separator is one byte: the next character starts behind it
            return *this;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

      private:
        friend class Separators;
        Iterator(const Separators* owner, size_t at) : owner_(owner), at_(at) {}
        const Separators* owner_;
        size_t at_;
    };

    Iterator begin() const { return Iterator(this, Next(0)); }
    Iterator end() const { return Iterator(this, path_.size()); }

  private:
    // The first separator at or after the character that starts at `from`, or the path's size.
    size_t Next(size_t from) const;

    std::string_view path_;
    char separator_;
};

// The text with every whole-character "/" turned into "\".
std::string ToBackslashes(std::string_view path);

// The components of a path split at whole-character backslashes; empty components (doubled, leading or
// trailing backslashes) are kept as empty views.
std::vector<std::string_view> SplitComponents(std::string_view path);

// Position of the last whole-character backslash, or npos when there is none.
size_t LastSeparator(std::string_view path);

// A name Windows opens as a device in any folder and with any extension: CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM0-COM9, LPT0-LPT9 and COM/LPT with a superscript one, two or three (in the single-byte
// form of code page 1252 and in UTF-8), ignoring case and blanks before the extension.
bool IsDeviceName(std::string_view component);

// Options for the one difference between the two callers: archives often store "./name" and folders as
// "name/", downloads never do.
struct RelativePathRules {
    bool allowCurrentFolder = false;     // "." components are skipped instead of refused
    bool allowTrailingSeparator = false; // one final "\" (a folder entry) is accepted
};

// Why a relative path may not be joined below a folder, or null when it may: empty, rooted, a drive or
// stream colon, a "/", a control character or one of <>"|?*, an empty component, a component of only
// dots and blanks (Windows trims "..." and ". ." to ".."), or a device name.
const char* RefuseRelativePath(std::string_view path, RelativePathRules rules = {});

} // namespace path_policy

// Whether a chunk's RelDir and FileName, joined, name a file below the download folder: a non-empty file
// name, no absolute path, drive letter, colon or forward slash, no component that is empty or only
// dots and blanks (Windows trims trailing dots and blanks, so ".. " climbs like ".."), and no Windows
// device name (CON, NUL, COM1, ...). A refusal is kInvalid, the message saying what was wrong.
Status IsSafeDownloadPath(std::string_view relDir, std::string_view fileName);
