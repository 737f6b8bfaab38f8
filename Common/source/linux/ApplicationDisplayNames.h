// The names people know their applications by: the desktop entries' Name, found by
// the executable their Exec line starts.
#ifndef APPLICATION_DISPLAY_NAMES_H
#define APPLICATION_DISPLAY_NAMES_H

#include <map>
#include <string>
#include <vector>

class ApplicationDisplayNames {
public:
    // The system's entries (/usr/share/applications, /usr/local/share/applications); a
    // user's own are not read, so that what root shows comes from files only root changes.
    static const ApplicationDisplayNames& System();
    explicit ApplicationDisplayNames(const std::vector<std::string>& folders);
    // The entry's Name for the executable (its last path component), else the executable.
    std::string NameOf(const std::string& executable) const;

private:
    std::map<std::string, std::string> mNames;
};

#endif
