// Whether a named lock of the installer family is held right now (this process's own hold
// included). The checks ask only through here, so that unit tests can answer for the machine:
// another installer running beside them must not change what they see.
#ifndef FAMILY_LOCK_QUERY_H
#define FAMILY_LOCK_QUERY_H

#include <functional>
#include <string>

class FamilyLockQuery {
public:
    typedef std::function<bool(const std::string& name)> Query;

    static bool IsLocked(const std::string& name);
    // The setup or the bootstrapper of another installer is running.
    static bool AnyInstallerRunning();

    // Answers with query until the object goes away; the real named locks afterwards.
    class Replacement {
    public:
        explicit Replacement(Query query);
        ~Replacement();
        Replacement(const Replacement&) = delete;
        Replacement& operator=(const Replacement&) = delete;

    private:
        Query mPrevious;
    };
};

#endif
