#include "XmlFile.h"

#include <ctype.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <mutex>

namespace {

// Nothing outside the file itself is ever fetched.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void InitializeLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
}

void KeepFirstComplaint(void* context, xmlErrorPtr error) {
    XmlFile::Loaded& loaded = *static_cast<XmlFile::Loaded*>(context);
    if (loaded.complained || error == nullptr || error->level < XML_ERR_ERROR) return;
    loaded.complained = true;
    loaded.line = error->line;
    loaded.complaint = error->message != nullptr ? error->message : "";
    while (!loaded.complaint.empty() && isspace(static_cast<unsigned char>(loaded.complaint.back()))) {
        loaded.complaint.pop_back();
    }
}

}  // namespace

namespace XmlFile {

void DocumentDeleter::operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }

Loaded Load(const std::string& path, RegularFile::LinkPolicy links) {
    InitializeLibrary();
    Loaded loaded;
    std::string bytes;
    loaded.read = RegularFile::Read(path, links, bytes);
    if (loaded.read != RegularFile::kRead) return loaded;
    // The handler is this thread's: a parse on another thread reports to its own.
    xmlSetStructuredErrorFunc(&loaded, KeepFirstComplaint);
    loaded.doc.reset(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), path.c_str(), nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOCDATA));
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    return loaded;
}

}  // namespace XmlFile
