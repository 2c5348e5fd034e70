// SPDX-License-Identifier: GPL-3.0-or-later
#include "folders/FolderPath.h"

#include "folders/ListingParser.h"

namespace folders {

std::string nextPath(std::string_view current, std::string_view target)
{
    std::string path;
    if (target == "..") {
        const std::size_t slash = current.rfind('/');
        // A "/" at the first position (or none) leaves nothing above: the root.
        if (slash != std::string_view::npos && slash >= 1)
            path = std::string(current.substr(0, slash));
    } else if (current.empty() || current == "/") {
        path = std::string(target);
    } else {
        path = std::string(current);
        path += '/';
        path += target;
    }
    if (path.empty() || path.front() != '/')
        path.insert(path.begin(), '/');
    return path;
}

std::string chosenPath(std::string_view current, const std::optional<std::string> &selectedName)
{
    std::string path(current);
    if (selectedName) {
        path += '/';
        path += *selectedName;
    }
    return path;
}

std::string displayPath(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    std::size_t begin = 0;
    for (;;) {
        const std::size_t slash = path.find('/', begin);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        out += displayName(path.substr(begin, end - begin));
        if (slash == std::string_view::npos)
            break;
        out += '/';
        begin = slash + 1;
    }
    return out;
}

} // namespace folders
