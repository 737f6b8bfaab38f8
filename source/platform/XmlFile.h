// The one way to read an XML file that a root process is handed: the bounded regular-file
// reader, then one parse with one set of options (no network, no DTD or external entity
// ever loaded, CDATA as text). The parser's first complaint is kept, never printed.
#ifndef XML_FILE_H
#define XML_FILE_H

#include <memory>
#include <string>

#include "RegularFile.h"

typedef struct _xmlDoc xmlDoc;

namespace XmlFile {

struct DocumentDeleter {
    void operator()(xmlDoc* doc) const;
};
typedef std::unique_ptr<xmlDoc, DocumentDeleter> Document;

struct Loaded {
    RegularFile::Outcome read = RegularFile::kRefused;
    Document doc;         // null: not read, or not well-formed
    bool complained = false;  // the parser reported an error, even when it made a document
    int line = 0;         // of its first complaint
    std::string complaint;
};

Loaded Load(const std::string& path, RegularFile::LinkPolicy links);

}  // namespace XmlFile

#endif
