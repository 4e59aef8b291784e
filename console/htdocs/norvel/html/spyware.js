// The Spyware page's progress box: while a scan runs, asks the page for the scan's progress
// (GET spyware.cgi?progress=1, JSON) once a second and shows it; when no scan runs any more and
// the scan's report has been replaced, says so and opens the page afresh with the results.
// The labels come from the box's data attributes, in the page's language; the texts from the
// server are set as text, never as markup.
"use strict";
document.addEventListener("DOMContentLoaded", () => {
    const box = document.getElementById("scan-progress");
    if (!box || box.dataset.poll !== "1") return;
    const element = (id) => document.getElementById(id);
    const label = (name) => box.getAttribute(`data-label-${name}`) || "";
    const interval = 1000;
    // A scan that was started may take a moment to take the server's scan lock; a page that
    // sees no scan and no new report for this many answers stops asking.
    const patience = 15;
    let idleAnswers = 0;

    const show = (state, text) => {
        box.dataset.state = state;
        element("scan-state").textContent = text;
    };
    const finished = (state, text) => {
        show(state, text);
        element("scan-task").textContent = "";
        element("scan-meter").hidden = true;
    };

    const ask = async () => {
        let reply;
        try {
            const response = await fetch(box.dataset.url, { cache: "no-store",
                                                            credentials: "same-origin" });
            if (!response.ok) throw new Error(`status ${response.status}`);
            reply = await response.json();
        } catch {
            // A session that timed out answers with its log-on page, which is not JSON.
            finished("lost", label("lost"));
            return;
        }
        if (reply.state === "running") {
            idleAnswers = 0;
            show("running", label("running"));
            element("scan-task").textContent = label(`task-${Math.min(reply.task, 2)}`);
            element("scan-meter").hidden = false;
            element("scan-percent").value = reply.percent;
            element("scan-percent-text").textContent = `${reply.percent} %`;
            element("scan-location").textContent = reply.location;
            setTimeout(ask, interval);
        } else if (reply.report !== box.dataset.report) {
            finished("done", label("done"));
            element("scan-location").textContent = "";
            element("results-link").hidden = false;
            setTimeout(() => window.location.assign(box.dataset.page), 1500);
        } else if (reply.state === "interrupted") {
            finished("interrupted", label("interrupted"));
        } else if (++idleAnswers >= patience) {
            finished("idle", label("idle"));
        } else {
            setTimeout(ask, interval);
        }
    };
    setTimeout(ask, interval / 2);
});
