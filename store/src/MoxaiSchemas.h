// Schema tables: null-terminated lists of levels, each a null-terminated list of statements.
#ifndef MOXAI_SCHEMAS_H
#define MOXAI_SCHEMAS_H

extern const char* gMoxaSchema_v1[];
extern const char* gMoxaSchema_v2[];
extern const char** gMoxaSchemas[];

extern const char* gPcdSchema_v1[];
extern const char** gPcdSchemas[];

extern const char* gHbSchema_v1[];
extern const char** gHbSchemas[];

#endif
