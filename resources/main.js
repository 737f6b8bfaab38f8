// The wizard: overview, checks, progress and finish, one step at a time in one window.
// Every text comes from main.xml; the native methods come from the bridge.
var strings = {};
var language = "en_US";
var current = null;
var busy = false;      // a step that must not be left by a key (preparing)
var shown = 0;         // the bar never moves backwards
var pollTimer = null;

function T(id) { return strings[id] || ""; }
function fill(text, values) {
  for (var key in values) text = text.split("[" + key + "]").join(values[key]);
  return text;
}
function call(answer) { var parsed = DARKParse(answer); return parsed && typeof parsed === "object" ? parsed : {}; }
function entries(map) {
  var list = [];
  for (var key in map) if (key.charAt(0) !== "_") list.push({ key: key, value: map[key] });
  return list;
}
function names(procList) { return (procList || "").split("<br>").filter(function (n) { return n !== ""; }); }
function megabytes(bytes) {
  var mb = Math.max(Number(bytes) / 1048576, 0.1);  // a small update is not "0 MB"
  var digits = mb < 10 ? 1 : 0;
  try { return new Intl.NumberFormat(language.replace("_", "-"), { maximumFractionDigits: digits }).format(mb); }
  catch (e) { return mb.toFixed(digits); }
}
function el(id) { return document.getElementById(id); }
function items(ul, list, detail) {
  if (typeof ul === "string") ul = el(ul);
  ul.textContent = "";
  list.forEach(function (item) {
    var li = document.createElement("li");
    var name = document.createElement("span");
    name.textContent = item.value;
    li.appendChild(name);
    var extra = detail ? detail(item) : "";
    if (extra) {
      var span = document.createElement("span");
      span.className = "detail";
      span.textContent = extra;
      li.appendChild(span);
    }
    ul.appendChild(li);
  });
  return list.length;
}
function localize() {
  var nodes = document.querySelectorAll("[data-l10n]");
  for (var i = 0; i < nodes.length; i++) nodes[i].textContent = T(nodes[i].getAttribute("data-l10n"));
}

// One step visible; its default button takes the focus.
function show(id) {
  var sections = document.querySelectorAll("section");
  for (var i = 0; i < sections.length; i++) sections[i].hidden = sections[i].id !== id;
  current = id;
  var button = el(id).querySelector("button[data-default]");
  if (button) button.focus();
}

function group(parent, heading, list) {
  if (!list.length) return;
  var box = document.createElement("div");
  box.className = "group";
  var h = document.createElement("h2");
  h.textContent = heading;
  var ul = document.createElement("ul");
  ul.className = "items";
  box.appendChild(h);
  box.appendChild(ul);
  parent.appendChild(box);
  items(ul, list);
}

function overview() {
  var updates = entries(call(UIGetUpdatesStatusMap()));
  var sizes = call(UIGetUpdateSizes());
  var others = updates.length ? el("others") : el("uptodate-others");
  others.textContent = "";
  group(others, T("locGroupInstalled"), entries(call(UIGetAlreadyUpdatedStatusMap())));
  group(others, T("locGroupHigher"), entries(call(UIGetHigherUpdateDetectedStatusMap())));
  group(others, T("locGroupNoBase"), entries(call(UIGetParentNotInstalledUpdatesStatusMap())));
  if (!updates.length) { show("uptodate"); return; }
  items("updates", updates, function (item) {
    return sizes[item.key] ? fill(T("locSizeMB"), { size: megabytes(sizes[item.key]) }) : "";
  });
  var warn = names(call(GetConflictingProcessList())._warnProcList);
  el("warn").hidden = warn.length === 0;
  el("warn-apps").textContent = warn.join(", ");
  el("unsigned").hidden = call(UIGetBundleSignature()).signature !== "unsigned";
  show("overview");
}

function check(kind, list, detail) {
  var title = { apps: "locConflictTitle", lock: "locSetupRunningTitle", disk: "locDiskTitle" }[kind];
  el("check-title").textContent = T(title);
  var body = "", advice = "";
  if (kind === "apps") {
    body = T(list.length === 1 ? "locConflictingProcessErrorBodySing" : "locConflictingProcessErrorBody");
    advice = T("locConflictAdvice");
  } else if (kind === "lock") {
    body = fill(T("locSetupRunningBody"), { productName: document.title });
    advice = T("locSetupRunningAdvice");
  } else {
    body = fill(T("locnotEnoughDiskSpaceBody"), { spaceReq: detail.spaceReq, volume: detail.volume });
    advice = T("locDiskAdvice");
  }
  el("check-body").textContent = body;
  el("check-advice").textContent = advice;
  items("check-items", list, function (item) { return item.detail || ""; });
  show("check");
}

function status(text) { if (el("status").textContent !== text) el("status").textContent = text; }
function bar(percent) {
  var b = el("bar");
  if (percent === null) {
    b.className = "busy";
    b.removeAttribute("aria-valuenow");
    b.setAttribute("aria-valuetext", T("locPreparing"));
    return;
  }
  shown = Math.max(shown, Math.min(100, Math.floor(percent)));
  b.className = "";
  el("fill").style.width = shown + "%";
  b.setAttribute("aria-valuenow", String(shown));
  b.setAttribute("aria-valuetext", fill(T("locPercent"), { percent: shown }));
}

// The checks in the order a silent run makes them; Retry starts them again.
function install() {
  if (call(AcquireSetupLock()).setupLocked !== "1") { check("lock", []); return; }
  var blocking = names(call(GetConflictingProcessList())._blockProcList);
  if (blocking.length) { check("apps", blocking.map(function (n) { return { key: n, value: n }; })); return; }
  busy = true;
  shown = 0;
  el("progress-cancel").disabled = true;
  show("progress");
  bar(null);
  status(T("locPreparing"));
  UIStartPayloadInitialize();
  poll(function () { return call(UIGetPayloadProgress())._error === "DONE"; }, function () {
    busy = false;
    var space = call(CheckForDiskSpace());
    if (space._error === "kNotEnoughDiskSpace") {
      var free = space.spaceFree ? fill(T("locDiskFree"), { free: space.spaceFree }) : "";
      check("disk", [{ key: space.volume, value: space.volume, detail: fill(T("locDiskNeeded"), { needed: space.spaceReq }) + (free ? " · " + free : "") }], space);
      return;
    }
    el("progress-cancel").disabled = false;
    el("progress-cancel").focus();
    UIStartInstall("1");
    poll(progress, finish);
  });
}

function poll(done, then) {
  if (pollTimer) clearTimeout(pollTimer);
  var result = done();
  if (result) { pollTimer = null; then(result); return; }
  pollTimer = setTimeout(function () { poll(done, then); }, 100);
}

function progress() {
  var p = call(UIGetProgress());
  var info = p.Progress || {};
  if (info.percentage === "100") return p;
  var step = Number(p._step), steps = Number(p._steps);
  if (step > 0 && steps > 0) {
    bar(((step - 1) + Math.min(Number(info.percentage), 99) / 100) / steps * 100);
    if (p._stopping === "1") status(T("locStopping"));
    else status(fill(T("locInstallingStep"), { step: step, steps: steps, name: info.curPayload }));
  } else {
    bar(null);
    status(p._stopping === "1" ? T("locStopping") : T("locPreparing"));
  }
  if (p._stopping === "1") el("progress-cancel").disabled = true;
  return null;
}

function finish(p) {
  bar(100);
  var installed = entries(call(UIGetSuccessPayloadsMap()));
  var failed = entries(call(UIGetFailedPayloadsMap()));
  var stopped = p._stopping === "1" && Number(p._step) < Number(p._steps);
  el("finish-installed").hidden = items("installed", installed) === 0;
  el("finish-failed").hidden = items("failed", failed) === 0;
  el("not-started").hidden = !stopped;
  if (failed.length) {
    var error = call(UIGetErrorText());
    el("failed-reason").textContent = error.message || "";
    el("log-location").textContent = fill(T("locLogLocation"), { logPath: error.logPath || "" });
  }
  var title = failed.length ? "locFailedTitle" : stopped ? "locStoppedTitle" : "locDoneTitle";
  el("finish-title").textContent = T(title);
  el("finish-title").className = failed.length ? "error" : "";
  status(T(title));
  show("finish");
}

function act(action) {
  if (action === "install" || action === "retry") install();
  else if (action === "cancel") UICancelUpdate("1");
  else if (action === "quit") UIExitDialog("");
}

document.addEventListener("click", function (event) {
  var button = event.target.closest ? event.target.closest("button[data-action]") : null;
  if (button && !button.disabled) act(button.getAttribute("data-action"));
});

// Enter takes the step's default button (Space still presses the focused one); Escape cancels or closes.
document.addEventListener("keydown", function (event) {
  if (!current || busy) return;
  // An installation is never cancelled by a stray Enter.
  if (current === "progress" && event.key === "Enter") { event.preventDefault(); return; }
  var section = el(current);
  var selector = event.key === "Enter" ? "button[data-default]" : event.key === "Escape" ? "button[data-cancel]" : null;
  if (!selector) return;
  var target = event.key === "Enter" && document.activeElement && document.activeElement.tagName === "BUTTON" &&
               section.contains(document.activeElement) ? document.activeElement : section.querySelector(selector);
  if (event.key === "Escape" && current === "overview") target = el("overview-quit");
  event.preventDefault();
  if (target && !target.disabled) act(target.getAttribute("data-action"));
});

window.DARKOnLoad = function () {
  var properties = call(GetDefaultProperties());
  language = properties.defaultLanguage || "en_US";
  strings = call(GetStringsForLanguage(language));
  if (strings._error || !strings.locInstall) { language = "en_US"; strings = call(GetStringsForLanguage(language)); }
  document.documentElement.lang = language.replace("_", "-");
  document.title = properties.productName || T("locWindowTitle");
  UISetWindowTitle(document.title);
  localize();
  UIResizeWindow("640", "480");
  overview();
  UIShowWindow("1");
};
