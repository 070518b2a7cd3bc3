// A small INI reader: "[section]" lines and "key = value" lines; "#" and ";"
// start comment lines; keys and values are trimmed; a later value of a key
// replaces an earlier one. Keys may hold any byte but "=" (paths included).
// Lines that are neither are ignored by the lookups; Lines() keeps every
// line that is not blank or a comment, with its number, so that a checker
// can name the line of a mistake.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <utility>
#include <vector>

class IniFile {
public:
    struct Line {
        enum Kind { kSection, kSetting, kOther };
        Kind kind;
        int iNumber;             // from 1
        std::string strSection;  // the section (the one it opens, for kSection)
        std::string strKey;      // kSetting only
        std::string strValue;    // kSetting: the value; kOther: the trimmed text
    };

    // False when the file cannot be opened (then it holds nothing).
    bool Load(const std::string& path);
    void Parse(std::istream& in);
    const std::string* Find(const std::string& section, const std::string& key) const;
    // The section's settings in file order of first appearance.
    std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) const;
    const std::vector<Line>& Lines() const { return m_lines; }

private:
    struct Section {
        std::vector<std::string> keys;
        std::map<std::string, std::string> values;
    };
    std::map<std::string, Section> m_sections;
    std::vector<std::string> m_order;
    std::vector<Line> m_lines;
};
