#include "array/local/LocalArrayNames.h"

#include "hostlib/TextBytes.h"

using hostlib::Status;

Status CheckLocalArrayName(const std::string& kind, const std::string& name) {
    std::string why;
    if (name.empty())
        why = "is empty";
    else if (name == "." || name == "..")
        why = "is a relative directory name";
    else if (name.find('/') != std::string::npos)
        why = "holds a \"/\"";
    else if (name.find('\0') != std::string::npos)
        why = "holds a NUL byte";
    else if (name.size() > kLocalArrayMaxNameLength)
        why = "is longer than " + std::to_string(kLocalArrayMaxNameLength) + " bytes";
    if (why.empty()) return Status::OK();
    // The name may hold any byte; show it escaped so the message stays one
    // readable line.
    return Status::InvalidArgument("invalid " + kind + " name [" + EscapeSnapDiffName(name) +
                                   "]: " + why);
}

Status SplitVolumePath(const std::string& path, std::string& volume,
                       std::vector<std::string>& below) {
    static const std::string kPrefix = "/vol/";
    below.clear();
    if (path.compare(0, kPrefix.size(), kPrefix) != 0)
        return Status::InvalidArgument("path [" + EscapeSnapDiffName(path) +
                                       "] does not begin with /vol/");
    size_t start = kPrefix.size();
    bool first = true;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string component = path.substr(start, end - start);
        if (first) {
            Status status = CheckLocalArrayName("volume", component);
            if (!status.ok()) return status;
            volume = component;
            first = false;
        } else if (!component.empty()) {
            Status status = CheckLocalArrayName("path component", component);
            if (!status.ok()) return status;
            below.push_back(component);
        }
        start = end + 1;
    }
    return Status::OK();
}

std::string EscapeSnapDiffName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        bool passes = (c == 9 || c == 10 || c == 13 || (c >= 32 && c <= 126)) && c != '\\';
        if (passes) {
            out.push_back(static_cast<char>(c));
        } else {
            AppendEscapedByte(out, "\\", c);
        }
    }
    return out;
}
