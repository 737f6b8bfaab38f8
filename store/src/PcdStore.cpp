#include "PcdStore.h"

#include "MoxaiFiles.h"
#include "MoxaiSchemas.h"
#include "MoxaiDataStore.h"

namespace {
const char* const dbDir = "Kavex PCD";
const char* const dbName = "pcd.db";
const char* const hbSubdir = "cache";
const char* const hbName = "cache.db";

bool Folders(std::string& configuration, std::string& cache) {
    std::string base;
    return moxaiDbPath(base) && moxaiPathAppend(base, dbDir, configuration) &&
           moxaiPathAppend(configuration, hbSubdir, cache);
}

int OpenStore(moxaiSession** session, bool cacheStore) {
    if (session == nullptr) return kMoxaErrInvalidArgument;
    std::string configuration, cache;
    if (!Folders(configuration, cache)) return kMoxaErrFailed;
    return cacheStore ? moxaiOpenStoreSession(session, cache, hbName, gHbSchemas, true)
                      : moxaiOpenStoreSession(session, configuration, dbName, gPcdSchemas, false);
}
}  // namespace

bool pcdConfigurationFilePath(std::string& path) {
    std::string configuration, cache;
    return Folders(configuration, cache) && moxaiPathAppend(configuration, dbName, path);
}

bool pcdCacheFilePath(std::string& path) {
    std::string configuration, cache;
    return Folders(configuration, cache) && moxaiPathAppend(cache, hbName, path);
}

int pcdOpenCacheSession(moxaiSession** session) { return OpenStore(session, true); }

int pcdOpenSession(moxaiSession** session) {
    int rc = OpenStore(session, false);
    if (rc != kMoxaOK) return rc;
    // Opening the cache once makes sure that it exists beside the store.
    moxaiSession* cache = nullptr;
    rc = pcdOpenCacheSession(&cache);
    if (rc == kMoxaOK) rc = moxaCloseSession(cache);
    if (rc != kMoxaOK) {
        // The cache's failure is the one to report; the store was only opened.
        (void)moxaCloseSession(*session);
        *session = nullptr;
    }
    return rc;
}

int pcdOpenSessionNoCreate(moxaiSession** session) {
    std::string path;
    if (!pcdConfigurationFilePath(path) || !moxaiFileExists(path)) return kMoxaErrNotFound;
    return pcdOpenSession(session);
}

int pcdOpenCacheSessionNoCreate(moxaiSession** session) {
    std::string path;
    if (!pcdCacheFilePath(path) || !moxaiFileExists(path)) return kMoxaErrNotFound;
    return pcdOpenCacheSession(session);
}

int pcdCloseSession(moxaiSession* session) { return moxaCloseSession(session); }
int pcdSessionCommit(moxaiSession* session) { return moxaSessionCommit(session); }
int pcdSessionRollback(moxaiSession* session) { return moxaSessionRollback(session); }

int pcdGetLastModTime(int* seconds) {
    if (seconds == nullptr) return kMoxaErrInvalidArgument;
    std::string path;
    if (!pcdConfigurationFilePath(path) || !moxaiFileExists(path)) return kMoxaErrNotFound;
    *seconds = moxaiGetFileModTime(path);
    return kMoxaOK;
}

int pcdCacheGetLastModTime(int* seconds) {
    if (seconds == nullptr) return kMoxaErrInvalidArgument;
    std::string path;
    if (!pcdCacheFilePath(path) || !moxaiFileExists(path)) return kMoxaErrNotFound;
    *seconds = moxaiGetFileModTime(path);
    return kMoxaOK;
}

int pcdGetDomainData(moxaiSession* session, int domain, const char* subdomain, const char* key, const char** value) {
    if (session == nullptr || subdomain == nullptr || key == nullptr || value == nullptr) return kMoxaErrInvalidArgument;
    if (session->store == nullptr) return kMoxaErrNoStore;
    return session->store->querySingle(value, "SELECT value FROM domain_data WHERE domain = %d AND subdomain = '%q' AND key = '%q'", domain, subdomain, key);
}

int pcdGetDomainDataKeys(moxaiSession* session, int domain, const char* subdomain, const char*** list) {
    if (session == nullptr || subdomain == nullptr || list == nullptr) return kMoxaErrInvalidArgument;
    if (session->store == nullptr) return kMoxaErrNoStore;
    return session->store->queryList(list, "SELECT key FROM domain_data WHERE domain = %d AND subdomain = '%q'", domain, subdomain);
}

int pcdGetDomainDataSubdomains(moxaiSession* session, int domain, const char*** list) {
    if (session == nullptr || list == nullptr) return kMoxaErrInvalidArgument;
    if (session->store == nullptr) return kMoxaErrNoStore;
    return session->store->queryList(list, "SELECT DISTINCT subdomain FROM domain_data WHERE domain = %d", domain);
}

int pcdRemoveDomainData(moxaiSession* session, int domain, const char* subdomain, const char* key) {
    if (session == nullptr || subdomain == nullptr || key == nullptr) return kMoxaErrInvalidArgument;
    if (session->store == nullptr) return kMoxaErrNoStore;
    return session->store->queryNR("DELETE FROM domain_data WHERE domain = %d AND subdomain = '%q' AND key = '%q'", domain, subdomain, key);
}

int pcdSetDomainData(moxaiSession* session, int domain, const char* subdomain, const char* key, const char* value) {
    if (session == nullptr || subdomain == nullptr || key == nullptr) return kMoxaErrInvalidArgument;
    if (value == nullptr) return pcdRemoveDomainData(session, domain, subdomain, key);
    if (session->store == nullptr) return kMoxaErrNoStore;
    return session->store->queryNR("INSERT OR REPLACE INTO domain_data (domain, subdomain, key, value) VALUES (%d, '%q', '%q', '%q')", domain, subdomain, key, value);
}
