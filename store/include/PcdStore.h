// The product configuration store and its cache.
#ifndef PCD_STORE_H
#define PCD_STORE_H

#include "moxaiSession.h"

// The configuration store's domain of products, keyed by product code ("ZTKConfigPath").
const int kPcdDomainProducts = 1;

int pcdOpenSession(moxaiSession** session);
int pcdOpenSessionNoCreate(moxaiSession** session);
int pcdOpenCacheSession(moxaiSession** session);
int pcdOpenCacheSessionNoCreate(moxaiSession** session);
[[nodiscard]] int pcdCloseSession(moxaiSession* session);
[[nodiscard]] int pcdSessionCommit(moxaiSession* session);
[[nodiscard]] int pcdSessionRollback(moxaiSession* session);
int pcdGetLastModTime(int* seconds);
int pcdCacheGetLastModTime(int* seconds);

int pcdGetDomainData(moxaiSession* session, int domain, const char* subdomain, const char* key, const char** value);
int pcdGetDomainDataKeys(moxaiSession* session, int domain, const char* subdomain, const char*** list);
int pcdGetDomainDataSubdomains(moxaiSession* session, int domain, const char*** list);
[[nodiscard]] int pcdSetDomainData(moxaiSession* session, int domain, const char* subdomain, const char* key, const char* value);
[[nodiscard]] int pcdRemoveDomainData(moxaiSession* session, int domain, const char* subdomain, const char* key);

// The two files under the current machine root.
bool pcdConfigurationFilePath(std::string& path);
bool pcdCacheFilePath(std::string& path);

#endif
