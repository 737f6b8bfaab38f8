#include <gtest/gtest.h>

#include <stdexcept>

#include "JSMethodPublisher.h"
#include "JSMethodPublisherGroup.h"
#include "JSONUtilities.h"
#include "JSPageProtocol.h"

namespace {

using namespace JSONUtilities;
using namespace TesmidJSPublisherUtilities;

TEST(JSONWriter, ByteExactSerialization) {
    JSONObject outer;
    JSONObject* progress = outer.AddObject("Progress");
    progress->AddProperty<int>("percentage", 40);
    progress->AddProperty<std::string>("curPayload", "A");
    outer.AddProperty<std::string>("_error", "");
    EXPECT_EQ("{\"Progress\":{\"percentage\":\"40\",\"curPayload\":\"A\"},\"_error\":\"\"}", outer.ToString());

    JSONObject escaped;
    escaped.AddProperty<std::string>("k", "a\"b'c\\d\n\re\xC3\xA9\x01");
    escaped.AddProperty<const char*>("raw", "x\"y");
    escaped.AddProperty<JSResult>("code", kJSResultFailed);
    EXPECT_EQ("{\"k\":\"a\\\"b\\'c\\\\d\\n\\re\xC3\xA9\x01\",\"raw\":\"x\\\"y\",\"code\":\"9999\"}", escaped.ToString());

    // Names come from files (string IDs, payload codes): escaped as values are.
    JSONObject names;
    names.AddObject("o\"b")->AddProperty<int>("n'\\", 1);
    names.AddPropertyMap({{"{P\"}:alert(1),\"x", "v"}});
    names.AddProperty<JSResult>("e\n", kJSResultOK);
    EXPECT_EQ("{\"o\\\"b\":{\"n\\'\\\\\":\"1\"},\"{P\\\"}:alert(1),\\\"x\":\"v\",\"e\\n\":\"0\"}", names.ToString());

    JSONObject empty;
    EXPECT_EQ("{}", empty.ToString());
    empty.AddObject("name");
    EXPECT_EQ("{\"name\":{}}", empty.ToString());

    JSONObject map;
    EXPECT_EQ(2u, map.AddPropertyMap({{"b", "2"}, {"a", "1"}}));
    EXPECT_EQ("{\"a\":\"1\",\"b\":\"2\"}", map.ToString());

    EXPECT_EQ("{\"_error\":\"1\"}", MakeJSONErrorObj(kJSResultBadArgCount, {}));
    EXPECT_EQ("{\"_error\":\"4\",\"path\":\"/x\"}", MakeJSONErrorObj(kJSResultFileNotFound, {{"path", "/x"}}));
}

class Echo : public JSMethodPublisher<Echo> {
public:
    explicit Echo(const std::string& tag) : mTag(tag) {
        RegisterJSMemberMethod("Join", &Echo::Join);
        RegisterJSMemberMethod("Throw", &Echo::Throw);
        RegisterJSMemberMethod("Shared", &Echo::Tag);
        RegisterJSMemberMethod("Text", &Echo::Text);
        RegisterJSMemberMethod("Latin1", &Echo::Latin1);
    }
    std::string Join(const std::vector<std::string>& args) {
        std::string out;
        for (const std::string& a : args) out += "[" + a + "]";
        return out;
    }
    std::string Throw(const std::vector<std::string>&) { throw std::runtime_error("boom"); }
    std::string Tag(const std::vector<std::string>&) { return mTag; }
    std::string Text(const std::vector<std::string>& args) { return args.empty() ? "" : args[0]; }
    std::string Latin1(const std::vector<std::string>&) { return "{\"data\":\"caf\xE9\"}"; }
    std::string mTag;
};

TEST(Publishers, NamesIdsExceptionsAndGroupRouting) {
    Echo a("A"), b("B");
    std::string result = "untouched";
    EXPECT_FALSE(a.InvokeMethodByName("Missing", {}, result));
    EXPECT_FALSE(a.InvokeMethodByID(99, {}, result));
    EXPECT_FALSE(a.InvokeMethodByName("Throw", {}, result));
    EXPECT_EQ("untouched", result);
    EXPECT_TRUE(a.InvokeMethodByID(0, {"x", "y"}, result));
    EXPECT_EQ("[x][y]", result);

    std::vector<JSMethodPublisherInterface*> publishers{&a, &b};
    JSMethodPublisherGroup group(publishers);
    EXPECT_TRUE(group.InvokeMethodByName("Shared", {}, result));
    EXPECT_EQ("B", result);  // the later publisher wins a shared name
    result = "before";
    EXPECT_TRUE(group.InvokeMethodByName("Throw", {}, result));  // true whatever the publisher answered
    EXPECT_EQ("before", result);
    EXPECT_FALSE(group.InvokeMethodByName("Missing", {}, result));
    EXPECT_EQ(5u, group.GetAllMethods().size());
}

TEST(PageProtocol, MessagesCallsAndResults) {
    Echo echo("E");
    std::vector<JSMethodPublisherInterface*> publishers{&echo};
    JSMethodPublisherGroup group(publishers);
    EXPECT_EQ((std::vector<std::string>{"DARK", "Join", "a", "", "b"}), JSPageProtocol::SplitMessage("DARK<===>Join<===>a<===><===>b"));
    EXPECT_TRUE(JSPageProtocol::IsDARKCall("DARK<===>UIGetProgress"));
    EXPECT_FALSE(JSPageProtocol::IsDARKCall("hello"));
    EXPECT_FALSE(JSPageProtocol::IsDARKCall("DARKNESS<===>x"));

    std::string result;
    ASSERT_TRUE(JSPageProtocol::Dispatch(group, "DARK<===>Join", result));
    EXPECT_EQ("", result);  // no arguments
    ASSERT_TRUE(JSPageProtocol::Dispatch(group, "DARK<===>Join<===>/tmp/x", result));
    EXPECT_EQ("[/tmp/x]", result);
    EXPECT_FALSE(JSPageProtocol::Dispatch(group, "DARK", result));  // no method name
    EXPECT_FALSE(JSPageProtocol::Dispatch(group, "DARK<===>Missing", result));
    EXPECT_FALSE(JSPageProtocol::Dispatch(group, "DARK<===>Text<===>bad\xC3", result));  // not UTF-8 on the way in
    EXPECT_FALSE(JSPageProtocol::Dispatch(group, "DARK<===>Text<===>\xED\xA0\x80", result));  // a surrogate
    result = "kept";
    EXPECT_FALSE(JSPageProtocol::Dispatch(group, "DARK<===>Latin1", result));  // not UTF-8 on the way out: no answer
    EXPECT_EQ("kept", result);

    EXPECT_EQ("DARK.result = null;", JSPageProtocol::ResultAssignmentScript(false, "ignored"));
    EXPECT_EQ("DARK.result = 'it\\'s a \\\\ and\\nnext';", JSPageProtocol::ResultAssignmentScript(true, "it's a \\ and\nnext"));
    const std::vector<std::string> scripts = JSPageProtocol::BridgeInstallScripts(group);
    EXPECT_EQ((std::vector<std::string>{"DARKCreateContainerMethod('Join');", "DARKCreateContainerMethod('Latin1');",
                                        "DARKCreateContainerMethod('Shared');",
                                        "DARKCreateContainerMethod('Text');", "DARKCreateContainerMethod('Throw');",
                                        "DARKCallOnLoadHandler();"}),
              scripts);
}

}  // namespace
