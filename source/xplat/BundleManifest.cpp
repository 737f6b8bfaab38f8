#include "BundleManifest.h"

#include <stdio.h>

#include <time.h>

#include <cstdint>
#include <set>

#include "TextFields.h"

const char* const BundleManifest::kManifestName = "bundle.manifest";
const char* const BundleManifest::kSignatureName = "bundle.sig";

namespace {

const char* const kHeader = "kavex-bundle-manifest 1";
const char* const kHeader2 = "kavex-bundle-manifest 2";
const char* const kReleaseKeys[] = {"series", "version", "issued", "expires", "products"};
const size_t kMaxPath = 4095;

std::string Escape(const std::string& text) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= ' ' || c > '~' || c == '%') {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Only what Escape writes: %XX for exactly the escaped bytes, nothing else.
bool Unescape(const std::string& word, std::string& out) {
    out.clear();
    for (size_t i = 0; i < word.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        if (c != '%') {
            if (c <= ' ' || c > '~') return false;
            out += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= word.size()) return false;
        const int high = HexValue(word[i + 1]), low = HexValue(word[i + 2]);
        if (high < 0 || low < 0) return false;
        const unsigned char value = static_cast<unsigned char>(high * 16 + low);
        if (value == 0 || !(value <= ' ' || value > '~' || value == '%')) return false;
        out += static_cast<char>(value);
        i += 2;
    }
    return true;
}

const char* TypeName(BundleTree::Entry::Type type) {
    switch (type) {
        case BundleTree::Entry::kFile: return "file";
        case BundleTree::Entry::kFolder: return "folder";
        case BundleTree::Entry::kLink: return "link";
    }
    return "file";
}

std::string Octal(unsigned mode) {
    char text[8];
    snprintf(text, sizeof(text), "%04o", mode & 07777);
    return text;
}

std::vector<std::string> Words(const std::string& line) { return TextFields::Split(line, ' '); }

bool ParseSize(const std::string& word, uint64_t& size) {
    if (word.empty() || word.size() > 20 || (word.size() > 1 && word[0] == '0')) return false;
    uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    size = value;
    return true;
}

bool ParseMode(const std::string& word, unsigned& mode) {
    if (word.size() != 4) return false;
    unsigned value = 0;
    for (char c : word) {
        if (c < '0' || c > '7') return false;
        value = value * 8 + static_cast<unsigned>(c - '0');
    }
    mode = value;
    return true;
}

bool IsDigest(const std::string& word) {
    if (word.size() != 64) return false;
    for (char c : word) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Relative, no empty, "." or ".." names, within the system's path limit.
bool IsBundlePath(const std::string& path) {
    if (path.empty() || path.size() > kMaxPath) return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        const std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name.empty() || name == "." || name == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

bool ReadLine(const std::string& line, BundleTree::Entry& entry, std::string& why) {
    const std::vector<std::string> words = Words(line);
    if (words.size() != 5 && words.size() != 6) {
        why = "not five or six fields";
        return false;
    }
    const std::string& type = words[0];
    if (type == "file") {
        entry.type = BundleTree::Entry::kFile;
    } else if (type == "folder") {
        entry.type = BundleTree::Entry::kFolder;
    } else if (type == "link") {
        entry.type = BundleTree::Entry::kLink;
    } else {
        why = "unknown type";
        return false;
    }
    if (words.size() != (entry.type == BundleTree::Entry::kLink ? 6u : 5u)) {
        why = "wrong number of fields for its type";
        return false;
    }
    if (!ParseMode(words[1], entry.mode) || !ParseSize(words[2], entry.size)) {
        why = "bad mode or size";
        return false;
    }
    if (entry.type == BundleTree::Entry::kFile ? !IsDigest(words[3]) : words[3] != "-") {
        why = "bad digest";
        return false;
    }
    if (entry.type == BundleTree::Entry::kFile) entry.sha256 = words[3];
    if (!Unescape(words[4], entry.path) || !IsBundlePath(entry.path)) {
        why = "bad path";
        return false;
    }
    if (entry.type == BundleTree::Entry::kLink) {
        if (entry.mode != 0777) {
            why = "a link's mode is 0777";
            return false;
        }
        if (!Unescape(words[5], entry.target) || entry.target.empty() || entry.target.size() > kMaxPath ||
            entry.size != entry.target.size()) {
            why = "bad link target";
            return false;
        }
    } else if (entry.type == BundleTree::Entry::kFolder && entry.size != 0) {
        why = "a folder with a size";
        return false;
    }
    return true;
}

std::string ProductsText(const std::vector<std::string>& products) {
    if (products.empty()) return "-";
    std::string text;
    for (const std::string& code : products) text += (text.empty() ? "" : ",") + code;
    return text;
}

// One of the release's lines, in its place: "KEY VALUE".
bool ReadReleaseLine(size_t index, const std::string& line, BundleManifest::Release& release, std::string& why) {
    const std::string key = kReleaseKeys[index];
    if (line.compare(0, key.size() + 1, key + " ") != 0) {
        why = "not the " + key + " line";
        return false;
    }
    const std::string value = line.substr(key.size() + 1);
    switch (index) {
        case 0:
            release.series = value;
            if (BundleManifest::IsSeriesName(value)) return true;
            why = "bad series name";
            return false;
        case 1:
            if (ParseSize(value, release.version)) return true;
            why = "bad version";
            return false;
        case 2:
        case 3:
            if (BundleManifest::ParseTime(value, index == 2 ? release.issued : release.expires)) return true;
            why = "bad " + key + " time";
            return false;
        default: break;
    }
    if (value == "-") return true;
    std::set<std::string> seen;
    size_t start = 0;
    for (;;) {
        const size_t comma = value.find(',', start);
        const std::string code = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!BundleManifest::IsProductCode(code) || !seen.insert(code).second ||
            release.products.size() >= BundleManifest::kMaxProducts) {
            why = "bad, repeated or too many product codes";
            return false;
        }
        release.products.push_back(code);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

std::string Mismatch(const BundleTree::Entry& listed, const BundleTree::Entry& found) {
    if (listed.type != found.type) return std::string("was a ") + TypeName(listed.type) + ", is a " + TypeName(found.type);
    if (listed.type == BundleTree::Entry::kLink && listed.target != found.target) return "link target";
    if (listed.size != found.size) return "size";
    if (listed.type == BundleTree::Entry::kFile && listed.sha256 != found.sha256) return "content";
    // A link's own mode is whatever the system gives it.
    if (listed.type != BundleTree::Entry::kLink && listed.mode != found.mode) return "mode";
    return std::string();
}

}  // namespace

std::string BundleManifest::Write(const std::vector<BundleTree::Entry>& entries) { return Write(Release(), entries); }

std::string BundleManifest::Write(const Release& release, const std::vector<BundleTree::Entry>& entries) {
    std::string text = std::string(release.format == 2 ? kHeader2 : kHeader) + "\n";
    if (release.format == 2) {
        text += "series " + release.series + "\nversion " + std::to_string(release.version) + "\nissued " +
                TimeText(release.issued) + "\nexpires " + TimeText(release.expires) + "\nproducts " +
                ProductsText(release.products) + "\n";
    }
    for (const BundleTree::Entry& entry : entries) {
        text += TypeName(entry.type);
        text += ' ' + Octal(entry.type == BundleTree::Entry::kLink ? 0777 : entry.mode);
        text += ' ' + std::to_string(entry.type == BundleTree::Entry::kFolder ? 0 : entry.size);
        text += ' ' + (entry.type == BundleTree::Entry::kFile ? entry.sha256 : std::string("-"));
        text += ' ' + Escape(entry.path);
        if (entry.type == BundleTree::Entry::kLink) text += ' ' + Escape(entry.target);
        text += '\n';
    }
    return text;
}

bool BundleManifest::Read(const std::string& text, std::vector<BundleTree::Entry>& entries, std::string& why) {
    Release release;
    return Read(text, release, entries, why);
}

bool BundleManifest::Read(const std::string& text, Release& release, std::vector<BundleTree::Entry>& entries,
                          std::string& why) {
    entries.clear();
    release = Release();
    Release read2;
    if (text.size() > kMaxBytes) {
        why = "the manifest is too large";
        return false;
    }
    if (text.empty() || text.back() != '\n') {
        why = "the manifest does not end with a line break";
        return false;
    }
    std::set<std::string> folders;
    size_t start = 0;
    size_t number = 0;
    std::vector<BundleTree::Entry> read;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (number == 1) {
            if (line != kHeader && line != kHeader2) {
                why = "line 1: not a manifest of this kind";
                return false;
            }
            read2.format = line == kHeader2 ? 2 : 1;
            continue;
        }
        if (read2.format == 2 && number <= 6) {
            std::string problem;
            if (!ReadReleaseLine(number - 2, line, read2, problem)) {
                why = "line " + std::to_string(number) + ": " + problem;
                return false;
            }
            continue;
        }
        BundleTree::Entry entry;
        std::string problem;
        if (read.size() >= BundleTree::kMaxEntries) problem = "too many entries";
        if (problem.empty() && ReadLine(line, entry, problem)) {
            const size_t slash = entry.path.rfind('/');
            if (!read.empty() && !(read.back().path < entry.path)) {
                problem = "not in order, or listed twice";
            } else if (slash == std::string::npos
                           ? (entry.path == kManifestName || entry.path == kSignatureName)
                           : folders.count(entry.path.substr(0, slash)) == 0) {
                problem = slash == std::string::npos ? "lists the manifest or the signature" : "its folder is not listed";
            }
        }
        if (!problem.empty()) {
            why = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
        if (entry.type == BundleTree::Entry::kFolder) folders.insert(entry.path);
        read.push_back(entry);
    }
    if (read2.format == 2 && number < 6) {
        why = "line " + std::to_string(number + 1) + ": the release is not complete";
        return false;
    }
    if (read2.format == 2 && read2.expires < read2.issued) {
        why = "it expires before it was issued";
        return false;
    }
    entries.swap(read);
    release = read2;
    return true;
}

bool BundleManifest::IsSeriesName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

bool BundleManifest::IsProductCode(const std::string& code) {
    if (code.empty() || code.size() > 128 || code == "-") return false;
    for (char c : code) {
        if (c <= ' ' || c > '~' || c == ',') return false;
    }
    return true;
}

std::string BundleManifest::TimeText(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    struct tm parts;
    char text[32];
    if (gmtime_r(&value, &parts) == nullptr || parts.tm_year + 1900 > 9999 || parts.tm_year + 1900 < 1970 ||
        strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
        return "1970-01-01T00:00:00Z";
    }
    return text;
}

bool BundleManifest::ParseTime(const std::string& text, int64_t& seconds) {
    // Exactly the shape TimeText writes, for a time it would write.
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof(kShape) - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return false;
    }
    auto number = [&text](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
    struct tm parts = {};
    parts.tm_year = number(0, 4) - 1900;
    parts.tm_mon = number(5, 2) - 1;
    parts.tm_mday = number(8, 2);
    parts.tm_hour = number(11, 2);
    parts.tm_min = number(14, 2);
    parts.tm_sec = number(17, 2);
    if (parts.tm_year < 70 || parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_hour > 23 || parts.tm_min > 59 ||
        parts.tm_sec > 59) {
        return false;
    }
    const time_t value = timegm(&parts);
    if (value == static_cast<time_t>(-1) || TimeText(value) != text) return false;
    seconds = value;
    return true;
}

std::string BundleManifest::FirstDifference(const std::vector<BundleTree::Entry>& listed,
                                            const std::vector<BundleTree::Entry>& found) {
    size_t i = 0, j = 0;
    while (i < listed.size() || j < found.size()) {
        if (j == found.size() || (i < listed.size() && listed[i].path < found[j].path)) return "missing: " + listed[i].path;
        if (i == listed.size() || found[j].path < listed[i].path) return "extra: " + found[j].path;
        const std::string why = Mismatch(listed[i], found[j]);
        if (!why.empty()) return "changed: " + listed[i].path + " (" + why + ")";
        ++i;
        ++j;
    }
    return std::string();
}
