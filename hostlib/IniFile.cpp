#include "hostlib/IniFile.h"

#include <fstream>

namespace {
std::string Trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}
}  // namespace

bool IniFile::Load(const std::string& path) {
    m_sections.clear();
    m_order.clear();
    m_lines.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    Parse(in);
    return true;
}

void IniFile::Parse(std::istream& in) {
    std::string section;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string text = Trimmed(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        if (text[0] == '[') {
            size_t close = text.find(']');
            section =
                Trimmed(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            if (!m_sections.count(section)) m_order.push_back(section);
            m_sections[section];
            m_lines.push_back({Line::kSection, number, section, std::string(), std::string()});
            continue;
        }
        size_t eq = text.find('=');
        std::string key = eq == std::string::npos ? std::string() : Trimmed(text.substr(0, eq));
        if (key.empty()) {  // not a setting: ignored
            m_lines.push_back({Line::kOther, number, section, std::string(), text});
            continue;
        }
        Section& s = m_sections[section];
        if (!s.values.count(key)) s.keys.push_back(key);
        s.values[key] = Trimmed(text.substr(eq + 1));
        m_lines.push_back({Line::kSetting, number, section, key, s.values[key]});
    }
}

const std::string* IniFile::Find(const std::string& section, const std::string& key) const {
    auto s = m_sections.find(section);
    if (s == m_sections.end()) return nullptr;
    auto v = s->second.values.find(key);
    return v == s->second.values.end() ? nullptr : &v->second;
}

std::vector<std::pair<std::string, std::string>> IniFile::Entries(
    const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> out;
    auto s = m_sections.find(section);
    if (s == m_sections.end()) return out;
    for (const std::string& key : s->second.keys) out.emplace_back(key, s->second.values.at(key));
    return out;
}
