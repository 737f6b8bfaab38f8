// The manifest's text, the signatures, the walk of a bundle folder and the check of copies.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "BundleManifest.h"
#include "BundleSignature.h"
#include "BundleTree.h"
#include "BundleVerifier.h"
#include "FileSystemPath.h"
#include "PayloadsManagerUtils.h"
#include "TestSandbox.h"
#include "UniqueFd.h"

namespace {

const std::set<std::string> kExcluded = {"bundle.manifest", "bundle.sig"};

std::vector<BundleTree::Entry> ScanAll(const std::string& folder, std::string* why = nullptr) {
    std::vector<BundleTree::Entry> entries;
    std::string reason;
    const bool ok = BundleTree::Scan(folder, kExcluded, [](const std::string&, uint64_t) { return true; }, entries, reason);
    if (why != nullptr) *why = ok ? std::string() : reason;
    return entries;
}

void Lay(const std::string& root) {
    TestFiles::Write(root + "/a b/%odd\nname", "odd");
    TestFiles::Write(root + "/a-b", "dash");
    TestFiles::Write(root + "/a/b", "");
    TestFiles::Write(root + "/\xc3\xa9t\xc3\xa9.txt", "abc");
    symlink("a b/%odd\nname", (root + "/link").c_str());
    chmod((root + "/a-b").c_str(), 0751);
}

TEST(BundleManifest, WritesEveryEntryInOneOrderAndReadsBackExactly) {
    TestSandbox box;
    Lay(box / "b");
    TestFiles::Write(box / "b/bundle.manifest", "not listed");
    std::string why;
    const std::vector<BundleTree::Entry> entries = ScanAll(box / "b", &why);
    ASSERT_EQ("", why);
    const std::string text = BundleManifest::Write(entries);
    // Byte-wise order of whole paths: ' ' < '-' < '/'.
    EXPECT_EQ(
        "kavex-bundle-manifest 1\n"
        "folder 0755 0 - a\n"
        "folder 0755 0 - a%20b\n"
        "file 0644 3 990cb8ebd0afb7150da453a213036a92f2c05e091df0d803e62d257ea7796c27 a%20b/%25odd%0Aname\n"
        "file 0751 4 af9d2c92ddc38ca77b3cd29e944c9b61928032808d3a3cb6c3a3c8965067291e a-b\n"
        "file 0644 0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 a/b\n"
        "link 0777 13 - link a%20b/%25odd%0Aname\n"
        "file 0644 3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad %C3%A9t%C3%A9.txt\n",
        text);
    std::vector<BundleTree::Entry> read;
    ASSERT_TRUE(BundleManifest::Read(text, read, why)) << why;
    EXPECT_EQ(text, BundleManifest::Write(read));
    EXPECT_EQ("", BundleManifest::FirstDifference(read, entries));
    // The same content laid out again gives the same text.
    Lay(box / "c");
    EXPECT_EQ(text, BundleManifest::Write(ScanAll(box / "c")));
}

TEST(BundleManifest, ReadsNothingItWouldNotHaveWritten) {
    const std::string head = "kavex-bundle-manifest 1\n";
    const std::string digest(64, 'a');
    const std::string good = head + "folder 0755 0 - a\nfile 0644 1 " + digest + " a/x\n";
    std::vector<BundleTree::Entry> entries;
    std::string why;
    ASSERT_TRUE(BundleManifest::Read(good, entries, why)) << why;
    for (const std::string& bad : std::vector<std::string>{
             std::string(), head + "x\n", "kavex-bundle-manifest 2\n", good.substr(0, good.size() - 1),
             head + "file 0644 1 " + digest + " x y\n",           // six fields for a file
             head + "file 644 1 " + digest + " x\n",              // mode not four digits
             head + "file 0844 1 " + digest + " x\n",             // not octal
             head + "file 0644 01 " + digest + " x\n",            // leading zero
             head + "file 0644 99999999999999999999 " + digest + " x\n",  // overflow
             head + "file 0644 1 " + std::string(64, 'A') + " x\n",      // upper-case digest
             head + "file 0644 1 - x\n",
             head + "folder 0755 1 - x\n",                        // a folder with a size
             head + "link 0777 2 - x abc\n",                      // size is not the target's length
             head + "link 0777 0 - x \n",                         // empty target
             head + "pipe 0644 0 - x\n",
             head + "file 0644 1 " + digest + " ../x\n",
             head + "file 0644 1 " + digest + " /x\n",
             head + "file 0644 1 " + digest + " a//x\n",
             head + "file 0644 1 " + digest + " x/\n",
             head + "file 0644 1 " + digest + " a/./x\n",
             head + "file 0644 1 " + digest + " a%00b\n",         // NUL
             head + "file 0644 1 " + digest + " a%41\n",          // escaped what needs none
             head + "file 0644 1 " + digest + " a%4\n",
             head + "file 0644 1 " + digest + " a%zz\n",
             head + "file 0644 1 " + digest + " a/x\n",           // its folder is not listed
             head + "file 0644 1 " + digest + " b\nfile 0644 1 " + digest + " a\n",  // out of order
             head + "file 0644 1 " + digest + " a\nfile 0644 1 " + digest + " a\n",  // twice
             head + "file 0644 1 " + digest + " a\nfile 0644 1 " + digest + " a/x\n",  // a file as a folder
             head + "file 0644 1 " + digest + " bundle.sig\n",
             head + "file  0644 1 " + digest + " x\n",
             head + "\n",
         }) {
        EXPECT_FALSE(BundleManifest::Read(bad, entries, why)) << bad;
    }
}

TEST(BundleManifest, NamesTheFirstDifference) {
    BundleTree::Entry a{"a", BundleTree::Entry::kFile, 1, 0644, "", std::string(64, '1')};
    BundleTree::Entry b{"b", BundleTree::Entry::kLink, 1, 0777, "x", ""};
    BundleTree::Entry c{"c", BundleTree::Entry::kFolder, 0, 0755, "", ""};
    BundleTree::Entry changed = a;
    changed.sha256 = std::string(64, '2');
    BundleTree::Entry retargeted = b;
    retargeted.target = "y";
    BundleTree::Entry reMode = c;
    reMode.mode = 0777;
    EXPECT_EQ("", BundleManifest::FirstDifference({a, b, c}, {a, b, c}));
    EXPECT_EQ("changed: a (content)", BundleManifest::FirstDifference({a, b, c}, {changed, b, c}));
    EXPECT_EQ("changed: b (link target)", BundleManifest::FirstDifference({a, b, c}, {a, retargeted, c}));
    EXPECT_EQ("changed: c (mode)", BundleManifest::FirstDifference({a, b, c}, {a, b, reMode}));
    EXPECT_EQ("missing: b", BundleManifest::FirstDifference({a, b, c}, {a, c}));
    EXPECT_EQ("extra: b", BundleManifest::FirstDifference({a, c}, {a, b, c}));
    EXPECT_EQ("missing: c", BundleManifest::FirstDifference({a, b, c}, {a, b}));
    EXPECT_EQ("changed: a (was a file, is a folder)",
              BundleManifest::FirstDifference({a}, {BundleTree::Entry{"a", BundleTree::Entry::kFolder, 0, 0755, "", ""}}));
}

TEST(BundleSignature, SignsAndVerifiesOnlyWithItsOwnKeyAndText) {
    BundleSignature::PublicKey publicKey, otherPublic, readPublic;
    BundleSignature::SecretKey secretKey, otherSecret, readSecret;
    ASSERT_TRUE(BundleSignature::Generate(publicKey, secretKey));
    ASSERT_TRUE(BundleSignature::Generate(otherPublic, otherSecret));
    EXPECT_NE(publicKey.id, otherPublic.id);
    EXPECT_EQ(16u, publicKey.id.size());
    ASSERT_TRUE(BundleSignature::ReadPublicKey(BundleSignature::PublicKeyText(publicKey), readPublic));
    ASSERT_TRUE(BundleSignature::ReadSecretKey(BundleSignature::SecretKeyText(secretKey), readSecret));
    EXPECT_EQ(publicKey.bytes, readPublic.bytes);
    EXPECT_EQ(publicKey.id, readSecret.id);

    const BundleSignature::Signature signature = BundleSignature::Sign(readSecret, "manifest");
    BundleSignature::Signature read;
    ASSERT_TRUE(BundleSignature::ReadSignature(BundleSignature::SignatureText(signature), read));
    EXPECT_EQ(publicKey.id, read.keyId);
    EXPECT_TRUE(BundleSignature::Verify(readPublic, "manifest", read));
    EXPECT_FALSE(BundleSignature::Verify(readPublic, "manifest!", read));
    EXPECT_FALSE(BundleSignature::Verify(otherPublic, "manifest", read));
    read.bytes[5] ^= 1;
    EXPECT_FALSE(BundleSignature::Verify(readPublic, "manifest", read));

    const std::string text = BundleSignature::PublicKeyText(publicKey);
    for (const std::string& bad : std::vector<std::string>{std::string(), text + "\n", " " + text, text.substr(0, text.size() - 3) + "\n",
                                   "kavex-bundle-secret-key " + text.substr(text.find(' ') + 1),
                                   text.substr(0, text.size() - 1) + "AAAA\n"}) {
        EXPECT_FALSE(BundleSignature::ReadPublicKey(bad, readPublic)) << bad;
    }
    EXPECT_FALSE(BundleSignature::ReadSignature("kavex-bundle-signature XYZ " + std::string(88, 'A') + "\n", read));
}

TEST(BundleTree, AFolderThatChangesWhileItIsReadFails) {
    TestSandbox box;
    const std::string root = box / "b";
    TestFiles::Write(root + "/one/file", std::string(100000, 'x'));
    TestFiles::Write(root + "/two", "two");
    struct Change {
        const char* name;
        std::function<void()> act;
    };
    const std::vector<Change> changes = {
        {"written", [&] { TestFiles::Write(root + "/one/file", std::string(100000, 'y')); }},
        {"grown", [&] { TestFiles::Write(root + "/one/file", std::string(100001, 'x')); }},
        {"added beside", [&] { TestFiles::Write(root + "/one/new", "n"); }},
        {"removed beside", [&] { unlink((root + "/two").c_str()); }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        TestFiles::RemoveTree(root);
        TestFiles::Write(root + "/one/file", std::string(100000, 'x'));
        TestFiles::Write(root + "/two", "two");
        usleep(20000);  // the change's time must differ from the layout's
        bool changed = false;
        std::vector<BundleTree::Entry> entries;
        std::string why;
        const bool ok = BundleTree::Scan(root, kExcluded,
                                         [&](const std::string& path, uint64_t) {
                                             if (path == "one/file" && !changed) {
                                                 changed = true;
                                                 change.act();
                                             }
                                             return true;
                                         },
                                         entries, why);
        EXPECT_FALSE(ok);
        EXPECT_NE(std::string::npos, why.find("changed while it was read")) << why;
    }
    // A digest remembered by whoever staged the folder stands only for the very file it was
    // taken of: once the file is rewritten (same size), the scan reads it again.
    TestFiles::RemoveTree(root);
    TestFiles::Write(root + "/one/file", std::string(100000, 'x'));
    const std::string honest = ScanAll(root).at(1).sha256;
    std::map<std::string, BundleTree::KnownDigest> known;
    {
        UniqueFd fd(open((root + "/one/file").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(BundleTree::DigestOf(fd.get(), known["one/file"]));
    }
    EXPECT_EQ(honest, known["one/file"].sha256);
    known["one/file"].sha256 = std::string(64, '0');  // to see which one a scan takes
    BundleTree::RememberDigests(root, known);
    EXPECT_EQ(std::string(64, '0'), ScanAll(root).at(1).sha256);
    usleep(20000);  // the change's time must differ from the digest's
    TestFiles::Write(root + "/one/file", std::string(100000, 'x'));
    EXPECT_EQ(honest, ScanAll(root).at(1).sha256);
    BundleTree::RememberDigests(std::string(), {});

    // A FIFO is no entry a bundle may hold, and the walk does not wait on it.
    TestFiles::RemoveTree(root);
    TestFiles::Write(root + "/two", "two");
    mkfifo((root + "/pipe").c_str(), 0644);
    std::string why;
    ScanAll(root, &why);
    EXPECT_EQ("pipe: neither a file, a folder nor a link", why);
}

TEST(BundleVerifier, CopiesOfASignedBundleMustHoldWhatWasSigned) {
    TestSandbox box;
    const std::string machine = box / "machine";
    const std::string bundle = box / "bundle";
    TestFiles::Write(bundle + "/extensions/P/P.proxy.xml", "<proxy/>");
    TestFiles::Write(bundle + "/extensions/P/P.data", "signed data");
    TestFiles::Write(bundle + "/extensions/runtime/lib/r.so", "runtime");
    BundleSignature::PublicKey publicKey;
    BundleSignature::SecretKey secretKey;
    ASSERT_TRUE(BundleSignature::Generate(publicKey, secretKey));
    const std::string manifest = BundleManifest::Write(ScanAll(bundle));
    TestFiles::Write(bundle + "/bundle.manifest", manifest);
    TestFiles::Write(bundle + "/bundle.sig", BundleSignature::SignatureText(BundleSignature::Sign(secretKey, manifest)));
    const std::string keys = machine + "/Library/Application Support/Kavex/TrustedKeys";
    TestFiles::Write(keys + "/team.pub", BundleSignature::PublicKeyText(publicKey));
    chmod(keys.c_str(), 0755);
    // The run's verdict is process-wide: the tests after this one get an unsigned run.
    struct Machine {
        Machine(const std::string& root, const std::string& keyless) : empty(keyless) {
            const char* previous = getenv("KAVEX_SYSTEM_ROOT");
            had = previous != nullptr;
            if (had) saved = previous;
            setenv("KAVEX_SYSTEM_ROOT", root.c_str(), 1);
        }
        ~Machine() {
            setenv("KAVEX_SYSTEM_ROOT", empty.c_str(), 1);
            BundleVerifier::CheckRun(empty);
            if (had) setenv("KAVEX_SYSTEM_ROOT", saved.c_str(), 1); else unsetenv("KAVEX_SYSTEM_ROOT");
        }
        std::string empty, saved;
        bool had = false;
    } sandboxed(machine, box / "keyless");
    const BundleVerifier::Verdict verdict = BundleVerifier::CheckRun(bundle);
    ASSERT_EQ(BundleVerifier::kValid, verdict.state) << verdict.reason;
    EXPECT_EQ(publicKey.id, verdict.keyId);

    const std::string target = box / "target";
    TestFiles::MakeFolders(target);
    std::string why;
    ASSERT_TRUE(PayloadsManagerUtils::BlindCopyExtensions(FileSystemPath(bundle + "/extensions"), FileSystemPath(target), ".data"));
    ASSERT_TRUE(PayloadsManagerUtils::BlindCopyFolder(FileSystemPath(bundle + "/extensions/runtime"), FileSystemPath(box / "R2")));
    EXPECT_TRUE(BundleVerifier::CopiesMatch(bundle + "/extensions", target, ".data", why)) << why;
    EXPECT_TRUE(BundleVerifier::CopiesMatch(bundle + "/extensions/runtime", box / "R2", "", why)) << why;
    EXPECT_TRUE(BundleVerifier::CopyOfFileMatches(bundle + "/extensions/P/P.proxy.xml", bundle + "/extensions/P/P.proxy.xml", why));

    // Swapped after the verification: the copy reads the new bytes, and is refused.
    TestFiles::Write(bundle + "/extensions/P/P.data", "bad! data!!");
    TestFiles::RemoveTree(target + "/P");
    ASSERT_TRUE(PayloadsManagerUtils::BlindCopyExtensions(FileSystemPath(bundle + "/extensions"), FileSystemPath(target), ".data"));
    EXPECT_FALSE(BundleVerifier::CopiesMatch(bundle + "/extensions", target, ".data", why));
    EXPECT_NE(std::string::npos, why.find("P.data: not the signed content")) << why;
    unlink((box / "R2/lib/r.so").c_str());
    symlink("/etc/passwd", (box / "R2/lib/r.so").c_str());
    EXPECT_FALSE(BundleVerifier::CopiesMatch(bundle + "/extensions/runtime", box / "R2", "", why));
    EXPECT_FALSE(BundleVerifier::CopyOfFileMatches(box / "elsewhere", target + "/P/P.data", why));
}

}  // namespace
