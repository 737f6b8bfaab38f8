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
// ICU message plurals ("{total, plural, one {# item} other {# items}}"), chosen by the
// language's own plural rules (Intl.PluralRules: ICU's); "=N" branches match exactly.
function plural(text, values) {
  var out = "", at = 0;
  for (;;) {
    var open = text.indexOf("{", at);
    if (open < 0) return out + text.slice(at);
    var head = /^\{\s*(\w+)\s*,\s*plural\s*,/.exec(text.slice(open));
    if (!head) { out += text.slice(at, open + 1); at = open + 1; continue; }
    out += text.slice(at, open);
    var value = Number(values[head[1]]), i = open + head[0].length, branches = {};
    while (i < text.length) {
      while (/\s/.test(text.charAt(i))) i++;
      if (text.charAt(i) === "}") { i++; break; }
      var key = /^[=\w]+/.exec(text.slice(i));
      if (!key) break;
      i += key[0].length;
      while (/\s/.test(text.charAt(i))) i++;
      var depth = 0, start = i + 1;
      for (; i < text.length; i++) {
        if (text.charAt(i) === "{") depth++;
        else if (text.charAt(i) === "}" && --depth === 0) break;
      }
      branches[key[0]] = text.slice(start, i);
      i++;
    }
    var category = "other";
    try { category = new Intl.PluralRules(language.replace("_", "-")).select(value); } catch (e) { category = value === 1 ? "one" : "other"; }
    var chosen = branches["=" + value] !== undefined ? branches["=" + value] : branches[category] !== undefined ? branches[category] : branches.other || "";
    out += plural(chosen, values).split("#").join(number(value));
    at = i;
  }
}
// Names keep their own direction in a right-to-left sentence; paths and codes read left to right.
function fill(text, values, ltr) {
  var rtl = document.documentElement.dir === "rtl";
  text = plural(text, values);
  for (var key in values) {
    var open = ltr && ltr.indexOf(key) >= 0 ? "\u2066" : "\u2068";
    text = text.split("[" + key + "]").join(rtl ? open + values[key] + "\u2069" : values[key]);
  }
  return text;
}
// The same as elements: each value in a <bdi> of its own that is never broken inside.
function put(node, text, values, ltr) {
  if (typeof node === "string") node = el(node);
  node.textContent = "";
  text = plural(text, values || {});
  var parts = text.split(/(\[[A-Za-z]+\])/);
  parts.forEach(function (part) {
    var m = /^\[([A-Za-z]+)\]$/.exec(part);
    if (!m || !values || values[m[1]] === undefined) { if (part) node.appendChild(document.createTextNode(part)); return; }
    var value = values[m[1]];
    if (value && value.nodeType) { node.appendChild(value); return; }
    node.appendChild(name(String(value), ltr && ltr.indexOf(m[1]) >= 0));
  });
  return node;
}
function name(text, ltr) {
  var b = document.createElement("bdi");
  b.className = "name";
  if (ltr) b.dir = "ltr";
  b.textContent = text;
  return b;
}
// An installation as a person knows it: the product and the end of its folder.
function installation(i) {
  var span = document.createElement("span");
  span.className = "where";
  if (i.product) span.appendChild(name(i.product));
  if (i.folder) {
    if (i.product) span.appendChild(document.createTextNode(" ("));
    span.appendChild(name(i.folder, true));
    if (i.product) span.appendChild(document.createTextNode(")"));
  }
  if (!i.product && !i.folder) span.appendChild(name(i.session || "?", true));
  return span;
}
function installationText(i) {
  return i.product && i.folder ? i.product + " (" + i.folder + ")" : i.product || i.folder || i.session || "?";
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
    var label = document.createElement("bdi");
    label.textContent = item.value;
    li.appendChild(label);
    var extra = detail ? detail(item) : "";
    if (extra) {
      var span = document.createElement("span");
      span.className = "detail";
      if (extra.nodeType) { span.appendChild(extra); if (extra.querySelector && extra.querySelector("ul")) span.className += " places"; }
      else span.textContent = extra;
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
  roomForButtons();
  var button = el(id).querySelector("button[data-default]");
  if (button) button.focus();
}

// The step's content ends above its button bar, however tall the bar's buttons wrap.
function roomForButtons() {
  var bar = current ? el(current).querySelector(".buttons") : null;
  if (bar) document.querySelector("main").style.paddingBottom = (bar.offsetHeight + 12) + "px";
}
window.addEventListener("resize", roomForButtons);

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
  var advice = "";
  if (kind === "apps") {
    put("check-body", T(list.length === 1 ? "locConflictingProcessErrorBodySing" : "locConflictingProcessErrorBody"));
    advice = T("locConflictAdvice");
  } else if (kind === "lock") {
    var holder = call(UIGetLockHolder());
    if (holder.holderName) put("check-body", T("locLockHeldBy"), { holder: holder.holderName, pid: holder.holderPid || "?" }, ["pid"]);
    else put("check-body", T("locLockHeldUnknown"));
  } else {
    put("check-body", T("locDiskBody"), { needed: number(detail.spaceReq), planned: number(detail.plannedMB || Math.round(Number(detail.spaceReq) / 2)),
                                          mount: detail.mountPoint || detail.volume }, ["mount"]);
    advice = T("locDiskAdvice");
  }
  el("check-advice").textContent = advice;
  items("check-items", list, function (item) { return item.detail || ""; });
  // Retry while the cause is still there says so, instead of seeming to do nothing.
  el("check-again").textContent = again ? T("locCheckedAgain") : "";
  show("check");
}

function status(text, where) {
  var line = el("status-line"), place = el("status-where");
  if (line.textContent !== text) line.textContent = text;
  if (!where) { place.textContent = ""; place.hidden = true; return; }
  var shown = installationText(where);
  if (place.getAttribute("data-shown") !== shown) {
    put(place, T("locInstallationLine"), { installation: installation(where) });
    place.setAttribute("data-shown", shown);
  }
  place.hidden = false;
}
// The bar shows what has ended, never more: a setup's own progress cannot be measured, so
// the running step is a moving stripe beside the finished part, not a guessed percentage.
function bar(percent, running, part) {
  var b = el("bar");
  if (percent === null) {
    b.className = "busy";
    b.removeAttribute("aria-valuenow");
    b.setAttribute("aria-valuetext", T("locPreparing"));
    return;
  }
  shown = Math.max(shown, Math.min(100, Math.floor(percent)));
  b.className = running ? "running" : "";
  el("fill").style.width = shown + "%";
  b.style.setProperty("--done", shown + "%");
  b.style.setProperty("--part", (part || 0) + "%");
  b.setAttribute("aria-valuenow", String(shown));
  b.setAttribute("aria-valuetext", running || fill(T("locPercent"), { percent: shown }));
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
      // The volume, then what each installation on it takes: the sum the body speaks of.
      var rows = [{ key: where, value: where, detail: fill(T("locDiskNeeded"), { needed: number(space.spaceReq) }) + (free ? " · " + free : "") }];
      entries(space.parts || {}).forEach(function (part) {
        var p = part.value;
        rows.push({ key: part.key, value: p.name, detail: put(document.createElement("span"), T("locDiskPart"),
                                                              { size: megabytes(p.bytes), installation: installation(p) }) });
      });
      check("disk", rows, space);
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
  var where = p._product || p._folder ? { product: p._product, folder: p._folder } : null;
  if (step > 0 && steps > 0) {
    var text = p._asking === "1" ? T("locWaitingForAnswer") : p._stopping === "1" ? T("locStopping")
             : fill(T("locInstallingStep"), { step: step, steps: steps, name: info.curPayload });
    bar((step - 1) / steps * 100, fill(T("locInstallingStep"), { step: step, steps: steps, name: info.curPayload }), 100 / steps);
    status(text, where);
  } else {
    bar(null);
    status(p._asking === "1" ? T("locWaitingForAnswer") : p._stopping === "1" ? T("locStopping") : T("locPreparing"));
  }
  var cancel = el("progress-cancel");
  cancel.disabled = p._stopping === "1" || p._asking === "1";
  // A button that cannot be pressed keeps no focus ring.
  if (cancel.disabled && document.activeElement === cancel) cancel.blur();
  return null;
}

var lastOutcome = null;  // the finish page's outcomes, to tell a Retry that changed nothing
var retried = false;

// Each patch under one word for where it stands, the same word the report and the check
// use: installed (everywhere), partly installed (in some installations), not installed;
// under it each installation with its own word; a failure says what failed and what next.
function finish() {
  bar(100);
  el("bar").className = "";
  var outcomes = entries(call(UIGetInstallOutcome())).sort(function (a, b) { return a.key < b.key ? -1 : 1; })
                                                     .map(function (e) { return e.value; });
  var by = { installed: [], partial: [], failed: [], notStarted: [] };
  outcomes.forEach(function (o) {
    o.list = entries(o.places || {}).sort(function (a, b) { return a.key < b.key ? -1 : 1; }).map(function (e) { return e.value; });
    (by[o.state] || by.failed).push(o);
  });
  function named(list) { return list.map(function (o) { return { key: o.code, value: o.name, outcome: o }; }); }
  var words = { installed: "locStateInstalled", failed: "locStateFailed", notStarted: "locStateNotStarted" };
  function detail(item) {
    var o = item.outcome, box = document.createElement("span");
    if (o.list.length > 1 || o.state === "partial") {
      put(box.appendChild(document.createElement("span")), T("locInstalledInSome"), { installed: o.installedIn, total: o.installations });
      var ul = box.appendChild(document.createElement("ul"));
      ul.className = "installations";
      o.list.forEach(function (i) {
        var li = ul.appendChild(document.createElement("li"));
        li.appendChild(installation(i));
        li.appendChild(document.createTextNode(": " + T(words[i.state] || "locStateFailed")));
      });
    } else if (o.state === "notStarted") {
      box.textContent = T("locStateNotStarted");
    }
    return box.childNodes.length ? box : "";
  }
  el("finish-installed").hidden = items("installed", named(by.installed)) === 0;
  el("finish-partial").hidden = items("partial", named(by.partial), detail) === 0;
  el("finish-failed").hidden = items("failed", named(by.failed.concat(by.notStarted)), detail) === 0;
  var failures = by.failed.concat(by.partial).filter(function (o) { return o.cause; });
  var causes = el("failure-causes");
  causes.textContent = "";
  failures.forEach(function (o) {
    var li = document.createElement("li");
    var where = o.list.filter(function (i) { return i.state === "failed"; })[0];
    put(li, T({ status: "locCauseStatus", signal: "locCauseSignal", setupBusy: "locCauseSetupBusy",
                noInstallation: "locCauseNoInstallation" }[o.cause] || "locCauseNotLaunched"),
        { name: o.name, status: o.exitStatus, signal: o.signal }, ["status", "signal"]);
    if (o.unchanged === "1" && where) {
      li.appendChild(document.createTextNode(" "));
      li.appendChild(put(document.createElement("span"), T("locUnchanged"), { where: installation(where) }));
    }
    if (o.undoPending === "1" && where) {
      li.appendChild(document.createTextNode(" "));
      li.appendChild(put(document.createElement("span"), T("locUndoPending"), { where: installation(where) }));
    }
    causes.appendChild(li);
  });
  var left = by.failed.length + by.partial.length + by.notStarted.length;
  el("finish-failure").hidden = failures.length === 0;
  el("not-started").hidden = failures.length > 0 || left === 0;
  if (failures.length) {
    var error = call(UIGetErrorText());
    logPath = error.logPath || "";
    put("log-location", T("locLogLocation"), { logPath: logPath }, ["logPath"]);
  }
  // A Retry that ends as the last try did says so: the page alone would look unchanged.
  var signature = JSON.stringify(outcomes.map(function (o) { return [o.code, o.state, o.list.map(function (i) { return i.state; })]; }));
  el("finish-again").textContent = retried && failures.length && signature === lastOutcome ? T("locFailedAgain") : "";
  lastOutcome = signature;
  retried = false;
  el("finish-retry").hidden = left === 0;
  el("finish-copy").hidden = failures.length === 0;
  el("copied").textContent = "";
  var title = failures.length ? "locFailedTitle" : left ? "locStoppedTitle" : "locDoneTitle";
  el("finish-title").textContent = T(title);
  el("finish-title").className = failures.length ? "error" : "";
  status(T(title));
  window.finishOutcomes = outcomes;
  var retry = el("finish-retry");
  // Retry is the way forward when something remains; else Close.
  if (left) { retry.setAttribute("data-default", ""); el("finish-close").removeAttribute("data-default"); }
  else { retry.removeAttribute("data-default"); el("finish-close").setAttribute("data-default", ""); }
  show("finish");
}

function copyDetails() {
  var lines = [el("finish-title").textContent];
  var nodes = el("finish").querySelectorAll("#failure-causes li, #log-location");
  for (var i = 0; i < nodes.length; i++) lines.push(nodes[i].innerText);
  // Support needs what the page leaves out: every installation's full folder and session.
  (window.finishOutcomes || []).forEach(function (o) {
    if (o.state === "installed") return;
    lines.push(o.name + " (" + o.code + "): " + o.state);
    o.list.forEach(function (i) { lines.push("  " + (i.product || "") + " " + (i.fullFolder || "") + " [" + i.session + "]: " + i.state); });
  });
  var done = call(UICopyText(lines.join("\n")))._error === undefined;
  el("copied").textContent = done ? T("locCopied") : fill(T("locLogLocation"), { logPath: logPath }, ["logPath"]);
}

function act(action) {
  if (action === "retry" && current === "finish") retried = true;
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
