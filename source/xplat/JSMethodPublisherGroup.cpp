#include "JSMethodPublisherGroup.h"

JSMethodPublisherGroup::JSMethodPublisherGroup(std::vector<JSMethodPublisherInterface*>& publishers) {
    for (JSMethodPublisherInterface* publisher : publishers) RegisterPublisher(publisher);
}

void JSMethodPublisherGroup::RegisterPublisher(JSMethodPublisherInterface* publisher) {
    if (publisher == nullptr) return;
    for (const auto& method : publisher->GetAllMethods()) {
        mRoutes.push_back(std::make_pair(method.first, std::make_pair(publisher, method.second)));
        mNameIndex[method.first] = static_cast<unsigned int>(mRoutes.size() - 1);
    }
}

bool JSMethodPublisherGroup::InvokeMethodByName(const std::string& name, const std::vector<std::string>& args,
                                                std::string& result) {
    auto found = mNameIndex.find(name);
    if (found == mNameIndex.end()) return false;
    return InvokeMethodByID(found->second, args, result);
}

bool JSMethodPublisherGroup::InvokeMethodByID(unsigned int id, const std::vector<std::string>& args, std::string& result) {
    if (id >= mRoutes.size()) return false;
    mRoutes[id].second.first->InvokeMethodByID(mRoutes[id].second.second, args, result);
    return true;
}
