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

// Parses a method's answer; failures come back as an object with "_error".
function DARKParse(text) {
    if (text === null || text === "") return {};
    try {
        return (new Function("return (" + text + ");"))();
    } catch (e) {
        return { _error: "9999" };
    }
}

function DARKCallOnLoadHandler() {
    if (typeof window.DARKOnLoad === "function") window.DARKOnLoad();
}
