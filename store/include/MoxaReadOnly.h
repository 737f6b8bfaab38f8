// A process that only looks: every store session opens read-only, nothing is
// restored, upgraded, backed up or created.
#ifndef MOXA_READ_ONLY_H
#define MOXA_READ_ONLY_H

void moxaSetReadOnly(bool readOnly);
bool moxaReadOnly();

#endif
