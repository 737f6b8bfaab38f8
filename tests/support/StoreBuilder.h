// Builds an installed-products store (and configuration store) in a sandbox machine root.
//
//   StoreBuilder store(box.Path());
//   store.Product("{BASE}", "Suite", "1.0", {"{SESSION-1}", "{SESSION-2}"})
//        .Payload("{PATCH}", "Suite", "1.0.1").Member("{SESSION-1}", "{PATCH}")
//        .Constraint("{PATCH}", "{BASE}");
//   store.Save();
#ifndef STORE_BUILDER_H
#define STORE_BUILDER_H

#include <string>
#include <vector>

struct moxaiSession;

class StoreBuilder {
public:
    // Points KAVEX_SYSTEM_ROOT at root and opens (creating) the store there.
    explicit StoreBuilder(const std::string& root);
    ~StoreBuilder();  // saves

    StoreBuilder& Payload(const std::string& code, const std::string& name, const std::string& version,
                          const std::string& family = "Kavex", const std::string& signature = "");
    StoreBuilder& Collection(const std::string& collectionID, const std::string& payload, int tsInstalled = 0);
    StoreBuilder& Member(const std::string& collectionID, const std::string& payload, int installState = 2,
                         int tsInstalled = 0);
    StoreBuilder& Constraint(const std::string& payload, const std::string& target, int type = 1);
    StoreBuilder& Upgrade(const std::string& original, const std::string& upgraded);
    StoreBuilder& PayloadData(const std::string& payload, int domain, const std::string& key, const std::string& value);
    StoreBuilder& CollectionData(const std::string& collectionID, int domain, const std::string& key,
                                 const std::string& value);
    // A row of the product configuration store (created on first use).
    StoreBuilder& ConfigData(int domain, const std::string& subdomain, const std::string& key, const std::string& value);

    // An installed base product: its payload, and per installation session a collection
    // holding the payload as installed, with the session ID recorded in domain 5.
    StoreBuilder& Product(const std::string& code, const std::string& name, const std::string& version,
                          const std::vector<std::string>& sessions);

    // Any statement, for cases the helpers above do not cover.
    StoreBuilder& Sql(const std::string& statement);

    void Save();  // commits what was added so far
    moxaiSession* Session() { return mSession; }
    const std::string& Root() const { return mRoot; }
    // Paths of the store files in this root.
    std::string StoreFile() const;
    std::string ConfigFile() const;

private:
    StoreBuilder& Run(const char* format, ...);
    std::string mRoot;
    moxaiSession* mSession;
    moxaiSession* mConfig;
    int mNextTimestamp;
};

#endif
