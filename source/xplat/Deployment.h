// A deployment file; only its path is read.
#ifndef DEPLOYMENT_H
#define DEPLOYMENT_H

#include <string>

namespace Deployment {
struct DataStore {
    std::string mDeploymentFilePath;
};
}  // namespace Deployment

#endif
