// Publishes member functions of T by name; T derives from JSMethodPublisher<T>.
#ifndef JS_METHOD_PUBLISHER_H
#define JS_METHOD_PUBLISHER_H

#include <utility>

#include "JSMethodPublisherInterface.h"

template <typename T>
class JSMethodPublisher : public JSMethodPublisherInterface {
public:
    typedef std::string (T::*Method)(const std::vector<std::string>&);

    std::map<std::string, unsigned int> GetAllMethods() override { return mNameIndex; }

    bool InvokeMethodByName(const std::string& name, const std::vector<std::string>& args, std::string& result) override {
        auto found = mNameIndex.find(name);
        if (found == mNameIndex.end()) return false;
        return InvokeMethodByID(found->second, args, result);
    }

    bool InvokeMethodByID(unsigned int id, const std::vector<std::string>& args, std::string& result) override {
        if (id >= mMethods.size()) return false;
        try {
            result = (static_cast<T*>(this)->*(mMethods[id].second))(args);
            return true;
        } catch (...) {
            return false;
        }
    }

protected:
    // A name registered twice keeps both entries; the name then means the later one.
    void RegisterJSMemberMethod(const std::string& name, Method method) {
        mMethods.push_back(std::make_pair(name, method));
        mNameIndex[name] = static_cast<unsigned int>(mMethods.size() - 1);
    }

private:
    std::vector<std::pair<std::string, Method> > mMethods;
    std::map<std::string, unsigned int> mNameIndex;
};

#endif
