// Routes method calls to the publishers that serve them; a later publisher wins a shared name.
#ifndef JS_METHOD_PUBLISHER_GROUP_H
#define JS_METHOD_PUBLISHER_GROUP_H

#include <utility>

#include "JSMethodPublisherInterface.h"

class JSMethodPublisherGroup : public JSMethodPublisherInterface {
public:
    explicit JSMethodPublisherGroup(std::vector<JSMethodPublisherInterface*>& publishers);
    void RegisterPublisher(JSMethodPublisherInterface* publisher);

    std::map<std::string, unsigned int> GetAllMethods() override { return mNameIndex; }
    bool InvokeMethodByName(const std::string& name, const std::vector<std::string>& args, std::string& result) override;
    // True whenever the route exists, whatever the publisher answered.
    bool InvokeMethodByID(unsigned int id, const std::vector<std::string>& args, std::string& result) override;

private:
    std::vector<std::pair<std::string, std::pair<JSMethodPublisherInterface*, unsigned int> > > mRoutes;
    std::map<std::string, unsigned int> mNameIndex;
};

#endif
