// Behaviour of the console's pages that the pages' policy keeps out of inline markup.
"use strict";
document.addEventListener("DOMContentLoaded", () => {
    // The help button calls the help opener that the page's own script defines.
    const help = document.getElementById("help");
    if (help && typeof window.openHelp === "function") {
        help.addEventListener("click", () => window.openHelp());
    } else if (help) {
        help.hidden = true;
    }
});
