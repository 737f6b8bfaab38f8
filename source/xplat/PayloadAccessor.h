// One loaded payload and its classification flags.
#ifndef PAYLOAD_ACCESSOR_H
#define PAYLOAD_ACCESSOR_H

#include "FileSystemPath.h"
#include "PayloadProxy.h"

class PayloadAccessor {
public:
    PayloadAccessor(const FileSystemPath& proxyPath, const FileSystemPath& payloadPath, PayloadProxy::DataStore* store);
    ~PayloadAccessor();

    PayloadProxy::DataStore* mDataStore;  // owned
    FileSystemPath mProxyPath;
    FileSystemPath mPayloadPath;
    FileSystemPath mPayloadImagePath;
    bool mSelected;
    bool mParentNotInstalled;
    bool mAlreadyInstalled;
    bool mHigherPatchInstalled;

private:
    PayloadAccessor(const PayloadAccessor&) = delete;
    PayloadAccessor& operator=(const PayloadAccessor&) = delete;
};

#endif
