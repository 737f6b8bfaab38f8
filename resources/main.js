// The wizard: overview, checks, progress and finish, one step at a time in one window.
// Every text comes from main.xml; the native methods come from the bridge.
// The desktop's light or dark preference, as the program found it before the page loaded.
if (window.DARKColorScheme === "dark") document.documentElement.className = "dark";
var strings = {};
var language = "en_US";
var current = null;
var busy = false;      // a step that must not be left by a key (preparing)
var shown = 0;         // the bar never moves backwards
var pollTimer = null;
var lastCheck = null;  // the check shown last, to tell a Retry that changed nothing
var logPath = "";

function T(id) { return strings[id] || ""; }
function fill(text, values) {
  // In a right-to-left page a name or path keeps its own direction ("/tmp/moq.log").
  var rtl = document.documentElement.dir === "rtl";
  for (var key in values) text = text.split("[" + key + "]").join(rtl ? "\u2068" + values[key] + "\u2069" : values[key]);
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
function number(value) {
  try { return new Intl.NumberFormat(language.replace("_", "-")).format(Number(value)); }
  catch (e) { return String(value); }
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
  var conflicts = call(GetConflictingProcessList());
  var block = names(conflicts._blockProcList), warn = names(conflicts._warnProcList);
  el("block").hidden = block.length === 0;
  el("block-apps").textContent = block.join(", ");
  el("warn").hidden = warn.length === 0;
  el("warn-apps").textContent = warn.join(", ");
  el("unsigned").hidden = call(UIGetBundleSignature()).signature !== "unsigned";
  show("overview");
}

function check(kind, list, detail) {
  var title = { apps: "locConflictTitle", lock: "locSetupRunningTitle", disk: "locDiskTitle" }[kind];
  var again = lastCheck === kind;
  lastCheck = kind;
  el("check-title").textContent = T(title);
  var body = "", advice = "";
  if (kind === "apps") {
    body = T(list.length === 1 ? "locConflictingProcessErrorBodySing" : "locConflictingProcessErrorBody");
    advice = T("locConflictAdvice");
  } else if (kind === "lock") {
    var holder = call(UIGetLockHolder());
    body = holder.holderName ? fill(T("locLockHeldBy"), { holder: holder.holderName, pid: holder.holderPid || "?" }) : T("locLockHeldUnknown");
  } else {
    body = fill(T("locDiskBody"), { needed: number(detail.spaceReq), planned: number(detail.plannedMB || Math.round(Number(detail.spaceReq) / 2)),
                                    mount: detail.mountPoint || detail.volume });
    advice = T("locDiskAdvice");
  }
  el("check-body").textContent = body;
  el("check-advice").textContent = advice;
  items("check-items", list, function (item) { return item.detail || ""; });
  // Retry while the cause is still there says so, instead of seeming to do nothing.
  el("check-again").textContent = again ? T("locCheckedAgain") : "";
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
      var free = space.spaceFree ? fill(T("locDiskFree"), { free: number(space.spaceFree) }) : "";
      var where = space.mountPoint || space.volume;
      check("disk", [{ key: where, value: where, detail: fill(T("locDiskNeeded"), { needed: number(space.spaceReq) }) + (free ? " · " + free : "") }], space);
      return;
    }
    lastCheck = null;
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
    if (p._asking === "1") status(T("locWaitingForAnswer"));
    else if (p._stopping === "1") status(T("locStopping"));
    else status(fill(T("locInstallingStep"), { step: step, steps: steps, name: info.curPayload }));
  } else {
    bar(null);
    status(p._asking === "1" ? T("locWaitingForAnswer") : p._stopping === "1" ? T("locStopping") : T("locPreparing"));
  }
  el("progress-cancel").disabled = p._stopping === "1" || p._asking === "1";
  return null;
}

// Each patch as far as it got: installed everywhere, in some installations, failed or
// not started; a failure says what failed and what to do next.
function finish() {
  bar(100);
  var outcomes = entries(call(UIGetInstallOutcome())).sort(function (a, b) { return a.key < b.key ? -1 : 1; })
                                                     .map(function (e) { return e.value; });
  var by = { installed: [], partial: [], failed: [], notStarted: [] };
  outcomes.forEach(function (o) { (by[o.state] || by.failed).push(o); });
  function named(list) { return list.map(function (o) { return { key: o.code, value: o.name, outcome: o }; }); }
  function remaining(o) { return o.remaining.split("\n").filter(function (r) { return r !== ""; }).join(", "); }
  el("finish-installed").hidden = items("installed", named(by.installed)) === 0;
  el("finish-partial").hidden = items("partial", named(by.partial), function (item) {
    var o = item.outcome;
    return fill(T("locInstalledInSome"), { installed: o.installedIn, total: o.installations, remaining: remaining(o) });
  }) === 0;
  el("finish-failed").hidden = items("failed", named(by.failed.concat(by.notStarted)), function (item) {
    var o = item.outcome;
    if (o.state === "notStarted") return T("locStateNotStarted");
    return o.installedIn > 0 ? fill(T("locInstalledInSome"), { installed: o.installedIn, total: o.installations, remaining: remaining(o) }) : "";
  }) === 0;
  var causes = el("failure-causes");
  causes.textContent = "";
  by.failed.forEach(function (o) {
    var li = document.createElement("li");
    var text = fill(T({ status: "locCauseStatus", signal: "locCauseSignal", setupBusy: "locCauseSetupBusy",
                        noInstallation: "locCauseNoInstallation" }[o.cause] || "locCauseNotLaunched"),
                    { name: o.name, status: o.exitStatus, signal: o.signal });
    if (o.unchanged === "1" && o.where) text += " " + fill(T("locUnchanged"), { where: o.where });
    if (o.undoPending === "1") text += " " + fill(T("locUndoPending"), { where: o.where });
    li.textContent = text;
    causes.appendChild(li);
  });
  var left = by.failed.length + by.partial.length + by.notStarted.length;
  el("finish-failure").hidden = by.failed.length === 0;
  el("not-started").hidden = by.failed.length > 0 || left === 0;
  if (by.failed.length) {
    var error = call(UIGetErrorText());
    logPath = error.logPath || "";
    el("log-location").textContent = fill(T("locLogLocation"), { logPath: logPath });
  }
  el("finish-retry").hidden = left === 0;
  el("finish-copy").hidden = by.failed.length === 0;
  el("copied").textContent = "";
  var title = by.failed.length ? "locFailedTitle" : left ? "locStoppedTitle" : "locDoneTitle";
  el("finish-title").textContent = T(title);
  el("finish-title").className = by.failed.length ? "error" : "";
  status(T(title));
  var retry = el("finish-retry");
  // Retry is the way forward when something remains; else Close.
  if (left) { retry.setAttribute("data-default", ""); el("finish-close").removeAttribute("data-default"); }
  else { retry.removeAttribute("data-default"); el("finish-close").setAttribute("data-default", ""); }
  show("finish");
}

function copyDetails() {
  var lines = [el("finish-title").textContent];
  var nodes = el("finish").querySelectorAll("#failed li, #failure-causes li, #log-location");
  for (var i = 0; i < nodes.length; i++) lines.push(nodes[i].innerText);
  var done = call(UICopyText(lines.join("\n")))._error === undefined;
  el("copied").textContent = done ? T("locCopied") : fill(T("locLogLocation"), { logPath: logPath });
}

function act(action) {
  if (action === "install" || action === "retry") install();
  else if (action === "copy") copyDetails();
  else if (action === "cancel") UICancelUpdate("1");
  else if (action === "quit") UIExitDialog("");
}

document.addEventListener("click", function (event) {
  var button = event.target.closest ? event.target.closest("button[data-action]") : null;
  if (button && !button.disabled) act(button.getAttribute("data-action"));
});

// Enter takes the step's default button (Space still presses the focused one); Escape cancels or closes.
document.addEventListener("keydown", function (event) {
  if (!current) return;
  // Tab goes round the step's buttons: it never leaves the page for a stop with no focus to see.
  if (event.key === "Tab") {
    var stops = Array.prototype.filter.call(el(current).querySelectorAll("button"), function (b) {
      return !b.disabled && !b.hidden && b.offsetParent !== null;
    });
    if (!stops.length) { event.preventDefault(); return; }
    var at = stops.indexOf(document.activeElement);
    var next = event.shiftKey ? (at <= 0 ? stops.length - 1 : at - 1) : (at < 0 || at === stops.length - 1 ? 0 : at + 1);
    event.preventDefault();
    stops[next].focus();
    return;
  }
  if (busy) return;
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
  document.documentElement.dir = /^(ar|he)/.test(language) ? "rtl" : "ltr";
  document.title = properties.productName || T("locWindowTitle");
  UISetWindowTitle(document.title);
  localize();
  UIResizeWindow("640", "480");
  overview();
  UIShowWindow("1");
};
