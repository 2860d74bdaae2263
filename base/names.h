// Output names: the one sanitiser every writer uses, so that no name read
// from a disk can leave the output folder, and the numbering of repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <map>
#include <set>

namespace brantlow {

// Makes one path component safe to create inside the output folder:
// "/", "\", NUL and control characters become "_"; "." and ".." become "_."
// and "_.."; an empty name becomes "_"; invalid UTF-8 is kept as bytes; the
// result is cut to 255 bytes at a character boundary, keeping the extension.
// Nothing else is changed (trailing blanks and dots stay).
std::string sanitizeComponent(const std::string& name);

// The stricter form for media that refuse : * ? " < > | (vfat, exFAT).
std::string sanitizeComponentStrict(const std::string& name);

// "name (n).ext": the suffix goes before the extension; the result stays
// within 255 bytes.
std::string numberedName(const std::string& name, int n);

// Joins a folder and a sanitised component with "/".
std::string joinPath(const std::string& dir, const std::string& component);

// Hands out names within one save or carve: each output folder gets each
// name once, compared without regard to ASCII case (the output medium may be
// vfat or exFAT); repeats become "name (1).ext", "name (2).ext".
class NameBook {
public:
    // The sanitised, unique name for `name` in folder dir.
    std::string claim(const std::string& dir, const std::string& name);

private:
    std::map<std::string, std::set<std::string>> used_;
};

}  // namespace brantlow
