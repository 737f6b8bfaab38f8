// Support script of the wizard's pages: installed after every page load.
// Each native method becomes a function of the page; a call travels as the
// message "DARK<===>name<===>arg..." and its answer (text, or null) is the
// function's result, also kept in DARK.result.
var DARK = window.DARK || { result: null };
window.DARK = DARK;

function DARKCreateContainerMethod(name) {
    window[name] = function () {
        var pieces = ["DARK", name];
        for (var i = 0; i < arguments.length; i++) pieces.push(String(arguments[i]));
        DARK.result = prompt(pieces.join("<===>"));
        return DARK.result;
    };
}

// Parses a method's answer as data, never as script; failures come back as an
// object with "_error". The writer escapes apostrophes and leaves control
// characters raw, which JSON.parse refuses: both are rewritten first. Escape
// pairs are taken whole, so an escaped backslash before an apostrophe stays.
function DARKParse(text) {
    if (text === null || text === "") return {};
    var json = String(text).replace(/\\[\s\S]|[\u0000-\u001f]/g, function (match) {
        if (match === "\\'") return "'";
        if (match.length === 2) return match;
        return "\\u" + ("000" + match.charCodeAt(0).toString(16)).slice(-4);
    });
    try {
        return JSON.parse(json);
    } catch (e) {
        return { _error: "9999" };
    }
}

function DARKCallOnLoadHandler() {
    if (typeof window.DARKOnLoad === "function") window.DARKOnLoad();
}
