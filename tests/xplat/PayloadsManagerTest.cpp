#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "FileSystemUtils.h"
#include "MOQLogger.h"
#include "PatchFixtures.h"
#include "PayloadAccessor.h"
#include "PayloadsManager.h"
#include "PayloadsManagerTestPeer.h"
#include "PayloadsManagerUtils.h"
#include "StoreBuilder.h"
#include "TestSandbox.h"

namespace {

typedef std::map<std::string, std::string> Texts;

class Classification : public ::testing::Test {
protected:
    void SetUp() override {
        MOQ_Logger_StartAt(log.c_str(), false);
        store.Product("{BASE}", "Suite", "1.0", {"{S1}"});
        store.Save();
    }
    void TearDown() override {
        PayloadsManager::Release();
        MOQ_Logger_End();
    }
    bool Initialize() {
        store.Save();
        FileSystemPath root(bundle.Root());
        return PayloadsManager::Initialize(root, PayloadProxyFileConstants::kProxyTypeFull);
    }
    PayloadsManager& M() { return *PayloadsManager::Instance(); }
    // The folders of the extensions folder in the order the program meets them.
    std::vector<std::string> PatchOrder() {
        std::vector<FileSystemPath> children;
        FileSystemUtils::ChildrenForDirectory(FileSystemPath(bundle.Root() + "/extensions"), children);
        std::vector<std::string> names;
        for (const FileSystemPath& child : children) names.push_back(child.NameAsUTF8String());
        return names;
    }
    TestSandbox box;
    std::string log = box / "moq.log";
    StoreBuilder store{box / "machine"};
    PatchBundle bundle{box / "bundle"};
};

TEST_F(Classification, EachResultWithItsListAndFlags) {
    store.Payload("{P-INST}", "Suite Patch", "1.1").Member("{S1}", "{P-INST}")
        .Payload("{P-NEWER}", "Suite Patch", "1.3").Member("{S1}", "{P-NEWER}").Constraint("{P-NEWER}", "{P-HIGH}");
    bundle.AddPatch(Patch("{P-AVAIL}", "Available", "1.2", "{BASE}"))
        .AddPatch(Patch("{P-INST}", "Installed", "1.1", "{BASE}"))
        .AddPatch(Patch("{P-HIGH}", "Superseded", "1.1.5", "{BASE}"))
        .AddPatch([] { ProxyFields p = Patch("{P-NOBASE}", "Orphan", "2.0", "{MISSING}"); p.parentName = "Other Suite"; return p; }())
        .AddPatch(Patch("{P-NOPARENT}", "Parentless", "1.0", ""));
    ASSERT_TRUE(Initialize());
    Texts updates, installed, higher, missing;
    EXPECT_TRUE(M().GetUpdatesList(updates));
    EXPECT_EQ((Texts{{"{P-AVAIL}", "Available 1.2"}}), updates);
    EXPECT_TRUE(M().GetAlreadyUpdatedList(installed));
    EXPECT_EQ((Texts{{"{P-INST}", "Installed 1.1"}}), installed);
    EXPECT_TRUE(M().GetHigherUpdateDetectedList(higher));
    EXPECT_EQ((Texts{{"{P-HIGH}", "Superseded 1.1.5"}}), higher);
    EXPECT_TRUE(M().GetParentNotInstalledUpdatedList(missing));
    EXPECT_EQ((Texts{{"{P-NOBASE}", "Orphan 2.0 - Other Suite"}}), missing);
    EXPECT_EQ(4u, M().Payloads().size());  // the parentless one is not classified, so not kept
    EXPECT_EQ((std::vector<std::string>{"{P-INST}"}), M().AlreadyInstalledCodes());
    const PayloadAccessor& high = *M().Payloads().at("{P-HIGH}");
    EXPECT_TRUE(high.mHigherPatchInstalled && !high.mSelected && !high.mAlreadyInstalled && !high.mParentNotInstalled);

    // the session's code is the last payload's result, in the order the folders are met
    const std::map<std::string, int> results = {{"Available", 0}, {"Installed", 29}, {"Superseded", 26}, {"Orphan", 27}};
    int expected = 0;
    for (const std::string& folder : PatchOrder()) {
        if (results.count(folder)) expected = results.at(folder);
    }
    EXPECT_EQ(expected, PayloadsManager::LastErrorCode());

    Texts kept{{"{P-AVAIL}", "old text"}};
    EXPECT_FALSE(M().GetUpdatesList(kept));  // nothing added: the old entry stays
    EXPECT_EQ("old text", kept["{P-AVAIL}"]);
}

TEST_F(Classification, AlreadyInstalledNeedsThePatchInEveryInstallationOfItsParent) {
    store.Product("{TWICE}", "Twice", "1.0", {"{T1}", "{T2}"})
        .Payload("{P-ONE}", "One", "1.1").Member("{T1}", "{P-ONE}")
        .Payload("{P-BOTH}", "Both", "1.1").Member("{T1}", "{P-BOTH}").Member("{T2}", "{P-BOTH}")
        .Payload("{P-ELSEWHERE}", "Elsewhere", "1.1").Collection("{OTHER}", "{P-ELSEWHERE}").Member("{OTHER}", "{P-ELSEWHERE}");
    bundle.AddPatch(Patch("{P-ONE}", "One", "1.1", "{TWICE}"))
        .AddPatch(Patch("{P-BOTH}", "Both", "1.1", "{TWICE}"))
        .AddPatch(Patch("{P-ELSEWHERE}", "Elsewhere", "1.1", "{BASE}"));  // parent in one collection: enough
    ASSERT_TRUE(Initialize());
    Texts updates, installed;
    M().GetUpdatesList(updates);
    M().GetAlreadyUpdatedList(installed);
    EXPECT_EQ((Texts{{"{P-ONE}", "One 1.1"}}), updates);
    EXPECT_EQ((Texts{{"{P-BOTH}", "Both 1.1"}, {"{P-ELSEWHERE}", "Elsewhere 1.1"}}), installed);
}

TEST_F(Classification, PrecedenceBetweenResults) {
    // installed, but the parent's code was since replaced: the base counts as missing
    store.Product("{OLDBASE}", "Old", "1.0", {"{O1}"}).Payload("{NEWCODE}", "New", "2.0").Upgrade("{OLDBASE}", "{NEWCODE}")
        .Payload("{P-REPLACED}", "Replaced", "1.1").Member("{O1}", "{P-REPLACED}")
        // installed and superseded: installed wins over superseded
        .Payload("{P-BOTH}", "Both", "1.1").Member("{S1}", "{P-BOTH}")
        .Payload("{P-SUPER}", "Super", "1.2").Member("{S1}", "{P-SUPER}").Constraint("{P-SUPER}", "{P-BOTH}");
    bundle.AddPatch(Patch("{P-REPLACED}", "Replaced", "1.1", "{OLDBASE}")).AddPatch(Patch("{P-BOTH}", "Both", "1.1", "{BASE}"));
    ASSERT_TRUE(Initialize());
    Texts missing, installed;
    M().GetParentNotInstalledUpdatedList(missing);
    M().GetAlreadyUpdatedList(installed);
    EXPECT_EQ(1u, missing.count("{P-REPLACED}"));
    EXPECT_EQ(1u, installed.count("{P-BOTH}"));
    EXPECT_EQ(1u, installed.size());
}

TEST_F(Classification, UpgradeTableStandsInForAnUnregisteredParent) {
    store.Product("{ORIG}", "Orig", "1.0", {"{R1}"}).Payload("{RENAMED}", "Renamed", "1.0").Upgrade("{ORIG}", "{RENAMED}")
        .Payload("{PATCHED}", "Patched", "1.0").Member("{S1}", "{PATCHED}").Constraint("{PATCHED}", "{GONE}");
    bundle.AddPatch(Patch("{P-RENAMED}", "ForRenamed", "1.1", "{RENAMED}"))
        .AddPatch(Patch("{P-GONE}", "ForGone", "1.1", "{GONE}"));
    ASSERT_TRUE(Initialize());
    Texts updates, higher;
    M().GetUpdatesList(updates);
    M().GetHigherUpdateDetectedList(higher);
    EXPECT_EQ((Texts{{"{P-RENAMED}", "ForRenamed 1.1"}}), updates);
    // the parent is gone but an installed payload still upgrades it
    EXPECT_EQ((Texts{{"{P-GONE}", "ForGone 1.1"}}), higher);
}

TEST_F(Classification, DuplicateCodesKeepTheFirstAndDriverNamesTheSession) {
    bundle.AddPatch(Patch("{SAME}", "First", "1.1", "{BASE}"), "A").AddPatch(Patch("{SAME}", "Second", "1.1", "{BASE}"), "B")
        .AddPatch(Patch("{DRIVER}", "Driver Name", "1.1", "{BASE}"), "C");
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{DRIVER}</KavexCode></Driver>"
                    "<Optional><KavexCode display=\"none\">{SAME}</KavexCode></Optional></PayloadInfo>");
    ASSERT_TRUE(Initialize());
    EXPECT_EQ(2u, M().Payloads().size());
    std::string firstSeen;
    for (const std::string& folder : PatchOrder()) {
        if (firstSeen.empty() && (folder == "A" || folder == "B")) firstSeen = folder == "A" ? "First" : "Second";
    }
    EXPECT_EQ(firstSeen, M().Payloads().at("{SAME}")->mDataStore->mProductName);
    EXPECT_EQ("Driver Name", M().SessionProductName());
    std::vector<std::string> hidden;
    EXPECT_FALSE(M().GetHiddenPayloadList(hidden));
    EXPECT_EQ((std::vector<std::string>{"{SAME}"}), hidden);
}

TEST_F(Classification, WithoutSetupTheLastPayloadNamesTheSession) {
    bundle.AddPatch(Patch("{A}", "Alpha", "1.1", "{BASE}")).AddPatch(Patch("{B}", "Beta", "1.1", "{BASE}"));
    ASSERT_TRUE(Initialize());
    const std::vector<std::string> order = PatchOrder();
    EXPECT_EQ(order.back(), M().SessionProductName());
    std::vector<std::string> hidden;
    M().GetHiddenPayloadList(hidden);
    EXPECT_TRUE(hidden.empty());
}

TEST_F(Classification, DriverThatMatchesNothingLeavesTheNameEmpty) {
    bundle.AddPatch(Patch("{A}", "Alpha", "1.1", "{BASE}"));
    bundle.SetupXml("<PayloadInfo><Driver><KavexCode display=\"show\">{NONE}</KavexCode></Driver></PayloadInfo>");
    ASSERT_TRUE(Initialize());
    EXPECT_EQ("", M().SessionProductName());
}

TEST_F(Classification, ConfigurationStoreLocatesTheBaseProduct) {
    TestFiles::Write(box / "config/present.xml", "<config/>");
    store.Product("{MOVED}", "Moved", "1.0", {"{M1}"})
        .Product("{BLANK}", "Blank", "1.0", {"{B1}"})
        .ConfigData(1, "{BASE}", "ZTKConfigPath", box / "config/present.xml")
        .ConfigData(1, "{MOVED}", "ZTKConfigPath", box / "config/deleted.xml")
        .ConfigData(1, "{BLANK}", "ZTKConfigPath", "");
    bundle.AddPatch(Patch("{P-HERE}", "Here", "1.1", "{BASE}"))
        .AddPatch(Patch("{P-GONE}", "Gone", "1.1", "{MOVED}"))
        .AddPatch(Patch("{P-BLANK}", "Blank", "1.1", "{BLANK}"));
    ASSERT_TRUE(Initialize());
    Texts updates, missing;
    M().GetUpdatesList(updates);
    M().GetParentNotInstalledUpdatedList(missing);
    EXPECT_EQ(1u, updates.count("{P-HERE}"));
    EXPECT_EQ(1u, missing.count("{P-GONE}"));
    EXPECT_EQ(1u, missing.count("{P-BLANK}"));  // not the working folder: an empty path names nothing
}

TEST_F(Classification, MovedProductIsFoundThroughItsMediaAndRelocated) {
    const std::string media = box / "media";
    ProxyFields mediaProxy = Patch("{MEDIA}", "Media", "1.0", "");
    mediaProxy.family = "Design";
    mediaProxy.product = "Suite Media";
    TestFiles::Write(media + "/payloads/Media/Media.proxy.xml", ProxyXml(mediaProxy));
    TestFiles::Write(box / "new/Suite/config/app.xml", "<config/>");
    store.PayloadData("{BASE}", 5, "installSourcePath", media)
        .PayloadData("{BASE}", 5, "ExtensionFamily", "Design")
        .PayloadData("{BASE}", 5, "ExtensionProduct", "Suite Media")
        .Payload("{MEDIA}", "Media", "1.0")
        .PayloadData("{MEDIA}", 0, "INSTALLDIR", "/Applications/Suite")
        .PayloadData("{MEDIA}", 0, "ZTKConfigPath", "/Applications/Suite/config/app.xml")
        .ConfigData(1, "{MEDIA}", "ZTKConfigPath", box / "new/Suite/config/app.xml");
    // a second product whose media cannot be found is missing
    store.Product("{LOST}", "Lost", "1.0", {"{L1}"})
        .PayloadData("{LOST}", 5, "installSourcePath", box / "nowhere")
        .PayloadData("{LOST}", 5, "ExtensionFamily", "Design")
        .PayloadData("{LOST}", 5, "ExtensionProduct", "Lost");
    bundle.AddPatch(Patch("{P}", "Suite Patch", "1.1", "{BASE}")).AddPatch(Patch("{Q}", "Lost Patch", "1.1", "{LOST}"));
    ASSERT_TRUE(Initialize());
    Texts updates, missing;
    M().GetUpdatesList(updates);
    M().GetParentNotInstalledUpdatedList(missing);
    EXPECT_EQ(1u, updates.count("{P}"));
    EXPECT_EQ(1u, missing.count("{Q}"));
    EXPECT_EQ(box / "new/Suite", PayloadsManagerTestPeer::MovedFolders()["{BASE}"]);
    EXPECT_EQ(box / "new/Suite", PayloadsManagerTestPeer::MovedFolders()["{MEDIA}"]);
    EXPECT_EQ(box / "new/Suite/config/app.xml", PayloadsManagerTestPeer::MovedConfigPaths()["{MEDIA}"]);
}

TEST_F(Classification, FaultsLeaveTheEngineWithoutAManager) {
    bundle.AddPatch(Patch("{A}", "Alpha", "1.1", "{BASE}"));
    TestFiles::Write(bundle.Root() + "/extensions/Broken/Broken.proxy.xml", "<PayloadInfo>");
    EXPECT_FALSE(Initialize());
    PayloadsManager::Release();

    TestFiles::RemoveTree(bundle.Root() + "/extensions/Broken");
    bundle.SetupXml("<PayloadInfo><Driver>");
    EXPECT_FALSE(Initialize());
    EXPECT_EQ(0, PayloadsManager::LastErrorCode());
    EXPECT_NE(std::string::npos, TestFiles::Read(log).find("MOQ: _info_: Invalid Setup.xml specified, Aborting the patch install session\n"));
    FileSystemPath root(bundle.Root());
    EXPECT_FALSE(PayloadsManager::Initialize(root, PayloadProxyFileConstants::kProxyTypeFull));  // one instance per process
    PayloadsManager::Release();

    unlink((bundle.Root() + "/setup.xml").c_str());
    TestFiles::RemoveTree(box / "machine/Library");  // no store, and no folder to create it in
    EXPECT_FALSE(Initialize());
    EXPECT_EQ(31, PayloadsManager::LastErrorCode());
}

TEST_F(Classification, NoExtensionsFolderGivesAManagerWithoutPayloads) {
    ASSERT_TRUE(Initialize());
    Texts any;
    EXPECT_FALSE(M().GetUpdatesList(any));
    EXPECT_FALSE(M().GetAlreadyUpdatedList(any));
    EXPECT_TRUE(M().Payloads().empty());
}

// What only the main thread may set stops a debug build when another thread sets it; from the
// main thread it is taken.
TEST_F(Classification, MainThreadSettingsFromAnotherThreadStopADebugBuild) {
    ASSERT_TRUE(Initialize());
    M().SetSetupTimeout(7);
    M().RequirePreparation();
#ifdef NDEBUG
    GTEST_SKIP() << "a release build checks no thread";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(std::thread([] { PayloadsManager::Instance()->SetSurvey(nullptr); }).join(),
                 "SetSurvey runs on another thread than the one its object keeps to");
#endif
}

// The cached classification must answer exactly as the step-by-step one.
TEST_F(Classification, CachedClassificationMatchesTheStepByStepWalk) {
    auto id = [](const char* kind, int n) { return std::string("{") + kind + "-" + std::to_string(n) + "}"; };
    auto hasCollection = [](int n) { return n < 30 && n % 5 != 4; };
    for (int p = 0; p < 30; ++p) {
        if (hasCollection(p)) store.Product(id("PROD", p), "Product", "1.0", {id("COLL", p)});
        else store.Payload(id("PROD", p), "Product", "1.0");
        if (p % 7 == 0) store.Payload(id("NEXT", p), "Next", "2.0").Upgrade(id("PROD", p), id("NEXT", p));
        if (p % 3 == 0) store.Payload(id("PATCH", p), "Patch", "1.1");
    }
    for (int p = 0; p < 30; p += 3) {
        if (hasCollection(p + 1)) store.Member(id("COLL", p + 1), id("PATCH", p), p % 2 ? 2 : 0);
        if (hasCollection(p)) store.Member(id("COLL", p), id("PATCH", p), 2);
        if (p % 4 == 0) store.Constraint(id("PATCH", p), id("PROD", p)).Constraint(id("PATCH", p), id("PATCH", p + 3));
        if (p % 6 == 0 && hasCollection(p)) {
            store.Payload(id("SUPER", p), "Super", "1.2").Member(id("COLL", p), id("SUPER", p)).Constraint(id("SUPER", p), id("NEW", p));
        }
    }
    store.Upgrade("{PROD-2}", "{PROD-3}").Upgrade("{PROD-8}", "{PROD-3}").Upgrade("{ORPHAN}", "{PROD-9}");
    // A store written elsewhere may upgrade one original twice (its table without the key):
    // which upgrade is meant cannot be told.
    store.Sql("CREATE TABLE kept AS SELECT * FROM upgraded_payloads")
        .Sql("DROP TABLE upgraded_payloads")
        .Sql("CREATE TABLE upgraded_payloads (payloadIDOriginal TEXT NOT NULL, payloadIDUpgraded TEXT NOT NULL)")
        .Sql("INSERT INTO upgraded_payloads SELECT * FROM kept")
        .Sql("DROP TABLE kept")
        .Upgrade("{PROD-5}", "{PROD-6}")
        .Upgrade("{PROD-5}", "{PROD-7}");
    // Products whose only membership is uninstalled: they decide as missing, and
    // so does a patch recorded as uninstalled beside an installed parent.
    for (int p = 0; p < 32; p += 4) {
        store.Payload(id("GONE", p), "Gone", "1.0").Collection(id("GCOLL", p), id("GONE", p)).Member(id("GCOLL", p), id("GONE", p), 0);
        if (hasCollection(p)) store.Payload(id("UNINST", p), "Patch", "1.1").Member(id("COLL", p), id("UNINST", p), 0);
    }
    store.Save();
    moxaiSession* session = store.Session();
    PayloadsManagerUtils::DirectClassificationReads direct(session);
    PayloadsManagerUtils::ClassificationCache cache(session);
    std::set<int> seen;
    for (int p = 0; p < 32; ++p) {
        for (const char* pair : {"PROD|PATCH", "PROD|NEW", "PROD|", "GONE|PATCH", "PROD|UNINST"}) {
            const std::string kind = pair, parentKind = kind.substr(0, kind.find('|')), patchKind = kind.substr(kind.find('|') + 1);
            const std::string parent = id(parentKind.c_str(), p);
            const std::string patch = patchKind.empty() ? std::string() : id(patchKind.c_str(), p);
            const PayloadsManagerUtils::InstallState a = PayloadsManagerUtils::GetVORNPayloadInstallState(parent, patch, direct, nullptr);
            const PayloadsManagerUtils::InstallState b = PayloadsManagerUtils::GetVORNPayloadInstallState(parent, patch, cache, nullptr);
            EXPECT_EQ(a.classified, b.classified) << parent << patch;
            EXPECT_EQ(a.result, b.result) << parent << patch;
            seen.insert(a.result);
            EXPECT_EQ(a.parentInstalled, b.parentInstalled);
            EXPECT_EQ(a.parentCodeCurrent, b.parentCodeCurrent);
            EXPECT_EQ(a.effective, b.effective);
            EXPECT_EQ(a.upgrading, b.upgrading);
            EXPECT_EQ(a.upgradedOriginals, b.upgradedOriginals);
            EXPECT_EQ(a.higherPatches, b.higherPatches);
            EXPECT_EQ(a.reason, b.reason);
        }
    }
    EXPECT_EQ((std::set<int>{0, 26, 27, 29}), seen);  // the generated store exercises every result
}

}  // namespace
