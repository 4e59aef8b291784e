// The spyware page in a real browser. In English: a quick scan that backs up and cleans, held
// by the engine's test stop right after it took the server's scan lock, so that a second start
// is refused while it runs; then let go, its progress to the end, every planted kind found and
// cleaned (names escaped, a file name that is not UTF-8 shown by its bytes), and its backup set
// restored, each object back in place; a scan killed midway shown as interrupted. In Japanese: a full scan that only reports, then a
// damaged report, a damaged backup set and a restore of a set that is not one, each answered
// by a message on an intact page.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { existsSync, mkdirSync, readFileSync, readdirSync, writeFileSync } from "node:fs";
import { startConsole, launchBrowser, newPage, logOn, shot, sleep } from "./support.mjs";

const title = { en: "Spyware", ja: "スパイウェア" };
const planted = {
    file: "Downloads/free-screensaver.exe",
    content: "Downloads/report-viewer.bin",
    notUtf8: "Downloads/r\xe9sum\xe9-viewer.scr",
    directory: "Program Files/DemoToolbar",
    cookie: "Browser/cookies.txt",
    autostart: "Profile/.config/autostart/demo-updater.desktop",
    hosts: "etc/hosts",
};
const scanners = ["10", "11", "12", "13", "14", "18"];
// The planted names are bytes (one is not UTF-8): paths go to the file system as Latin-1.
const exists = (file) => existsSync(Buffer.from(file, "latin1"));

// The state letter of process `pid` ("T" while held, "Z" once dead), null when it is gone.
function processState(pid) {
    try {
        const stat = readFileSync(`/proc/${pid}/stat`, "latin1");
        return stat[stat.lastIndexOf(")") + 2];
    } catch {
        return null;
    }
}
const dead = (pid) => [null, "Z", "X"].includes(processState(pid));

// The demo's scan commands now running, with their process states.
function scans(console_) {
    const command = `${console_.demo}/home/Engine/nvl-spyscan\0`;
    const found = [];
    for (const entry of readdirSync("/proc")) {
        if (!/^\d+$/.test(entry)) continue;
        try {
            if (!readFileSync(`/proc/${entry}/cmdline`, "latin1").startsWith(command)) continue;
        } catch {
            continue;  // gone meanwhile
        }
        const pid = Number(entry), state = processState(pid);
        if (!dead(pid)) found.push({ pid, state });
    }
    return found;
}

async function waitFor(condition, what, ms = 20_000) {
    const until = Date.now() + ms;
    while (!condition()) {
        if (Date.now() > until) throw new Error(`${what} did not happen within ${ms} ms`);
        await sleep(25);
    }
}

function releaseScans(console_) {
    for (const { pid } of scans(console_)) {
        try { process.kill(pid, "SIGCONT"); } catch { /* gone */ }
    }
}

const rows = (page, selector) => page.$$eval(selector, (trs) => trs.map((tr) => ({
    scanner: tr.dataset.scanner, state: tr.dataset.state, kind: tr.dataset.kind,
    present: tr.dataset.present, threat: tr.querySelector(".threat")?.textContent,
    location: tr.querySelector(".location")?.textContent })));

async function submit(page, selector) {
    await Promise.all([page.waitForLoadState("load"), page.click(selector)]);
}

async function openPage(page, console_, lang) {
    await logOn(page, console_);
    await page.click(`nav.menu a[href="spyware.cgi"]`);
    await page.waitForSelector("#engine");
    assert.equal(await page.textContent("h1"), title[lang]);
    assert.equal(await page.textContent("#pattern-version"), "1.204");
    assert.equal(await page.textContent("#pattern-date"), "2026-03-02");
    assert.equal(await page.textContent("#pattern-signatures"), "7");
    assert.match(await page.textContent("#engine-version"), /^\d+\.\d+/);
    assert.equal(await page.textContent("#scan-directory"), `${console_.demo}/home/SpywareDemo`);
    assert.equal(await page.locator("#no-report").count(), 1);
    assert.equal(await page.locator("#no-backup-sets").count(), 1);
}

// Waits for the progress box to say the scan is done, then for the page it opens, whose box
// knows the new report.
async function scanDone(page) {
    const before = await page.getAttribute("#scan-progress", "data-report");
    await page.waitForSelector('#scan-progress[data-state="done"]', { timeout: 60_000 });
    await page.waitForFunction((stamp) => {
        const box = document.getElementById("scan-progress");
        return box && box.dataset.state !== "done" && box.dataset.report !== stamp &&
               document.querySelector("#report dl[data-status]");
    }, before, { timeout: 30_000 });
}

describe("spyware (en)", () => {
    let browser, console_;
    before(async () => {
        console_ = await startConsole({ lang: "en",
                                        cgiEnv: { TARSK_TEST_STOP_AT: "scan-locked" } });
        browser = await launchBrowser();
    });
    after(async () => {
        if (console_) releaseScans(console_);
        await browser?.close();
        await console_?.stop();
    });

    test("a held scan refuses a second, then cleans every kind; its set restores them", async () => {
        const { page } = await newPage(browser);
        const home = `${console_.demo}/home`;
        await openPage(page, console_, "en");

        await page.check("#type-quick");
        await page.check("#mode-clean");
        await submit(page, "#start-scan");
        assert.equal(await page.getAttribute("#message", "class"), "notice ok");
        assert.equal(await page.getAttribute("#scan-progress", "data-state"), "running");
        await waitFor(() => scans(console_).some((s) => s.state === "T"), "the scan's hold");

        // Held with the lock taken: the second start is refused and starts nothing.
        await submit(page, "#start-scan");
        assert.equal(await page.getAttribute("#message", "class"), "notice error");
        assert.match(await page.textContent("#message"), /running already/);
        assert.equal(await page.getAttribute("#scan-progress", "data-state"), "running");
        assert.equal(scans(console_).length, 1);
        await shot(page, "spyware-running-en");

        releaseScans(console_);
        await scanDone(page);
        assert.equal(await page.textContent("#report-status"), "completed");
        assert.equal(await page.textContent("#report-type"), "Quick scan");
        assert.equal(await page.textContent("#report-mode"), "Back up and clean");
        assert.equal(await page.textContent("#report-found"), "8");
        assert.equal(await page.textContent("#report-cleaned"), "8");
        const findings = await rows(page, "#findings tbody tr");
        assert.equal(findings.length, 8);
        assert.deepEqual([...new Set(findings.map((f) => f.scanner))].sort(), scanners);
        assert.ok(findings.every((f) => f.state === "cleaned"), JSON.stringify(findings));
        assert.ok(findings.some((f) => f.threat === 'Adware.FreeSaver "<Demo>"'));
        assert.ok(findings.some((f) => f.threat === "アドウェア.デモ起動"));
        assert.ok(findings.some((f) => f.location.endsWith("/Downloads/r\\xE9sum\\xE9-viewer.scr")));
        for (const file of Object.values(planted).filter((p) => !p.startsWith("Browser") &&
                                                               !p.startsWith("etc")))
            assert.ok(!exists(`${home}/SpywareDemo/${file}`), file);
        assert.doesNotMatch(readFileSync(`${home}/SpywareDemo/${planted.hosts}`, "utf8"), /ads\./);
        assert.doesNotMatch(readFileSync(`${console_.demo}/etc/registry.reg`, "utf8"), /Updater/);
        assert.equal(scans(console_).length, 0);

        // The clean's backup set: every record (the directory's tree one by one: the directory,
        // its subdirectory and two files), none of them present now.
        const set = await page.getAttribute("section.backup-set", "data-set");
        assert.equal(await page.textContent("#report-backup"), set);
        const selector = `section.backup-set[data-set="${set}"] tbody tr`;
        let records = await rows(page, selector);
        assert.equal(records.length, 11);
        assert.ok(records.filter((r) => r.kind !== "4").every((r) => r.present === "no"),
                  JSON.stringify(records));
        assert.ok(records.some((r) => r.location.endsWith("/Downloads/r\\xE9sum\\xE9-viewer.scr")));
        await shot(page, "spyware-cleaned-en");

        await submit(page, `section.backup-set[data-set="${set}"] button.restore`);
        assert.equal(await page.getAttribute("#message", "class"), "notice ok");
        records = await rows(page, selector);
        assert.ok(records.filter((r) => r.kind !== "4").every((r) => r.present === "yes"),
                  JSON.stringify(records));
        for (const file of Object.values(planted))
            assert.ok(exists(`${home}/SpywareDemo/${file}`), file);
        assert.match(readFileSync(`${home}/SpywareDemo/${planted.hosts}`, "utf8"), /ads\./);
        assert.match(readFileSync(`${console_.demo}/etc/registry.reg`, "utf8"), /Updater/);
        await shot(page, "spyware-restored-en");

        // A scan killed while it runs: the page says the last scan was interrupted, and the
        // next start goes ahead.
        await submit(page, "#start-scan");
        await waitFor(() => scans(console_).some((s) => s.state === "T"), "the scan's hold");
        // Dead, not only on its way: a dying process lets go of its command line before it
        // lets go of the scan lock.
        const held = scans(console_);
        for (const { pid } of held) process.kill(pid, "SIGKILL");
        await waitFor(() => held.every(({ pid }) => dead(pid)), "the scan's end");
        await page.goto(console_.cgi("spyware.cgi"));
        assert.equal(await page.getAttribute("#scan-progress", "data-state"), "interrupted");
        assert.match(await page.textContent("#scan-state"), /interrupted/);
        assert.equal(await page.getAttribute("#report dl", "data-status"), "done");
        await submit(page, "#start-scan");
        assert.equal(await page.getAttribute("#message", "class"), "notice ok");
        releaseScans(console_);
        await scanDone(page);
        assert.equal(await page.getAttribute("#scan-progress", "data-state"), "idle");
        assert.equal(await page.textContent("#report-mode"), "Report only");
        assert.deepEqual(page.problems, []);
    });
});

describe("spyware (ja)", () => {
    let browser, console_;
    before(async () => {
        console_ = await startConsole({ lang: "ja" });
        browser = await launchBrowser();
    });
    after(async () => {
        await browser?.close();
        await console_?.stop();
    });

    test("a report-only full scan, then damaged files and a false set name", async () => {
        const { page } = await newPage(browser);
        const engine = `${console_.demo}/home/Engine`;
        await openPage(page, console_, "ja");

        await submit(page, "#start-scan");
        assert.equal(await page.getAttribute("#message", "class"), "notice ok");
        await scanDone(page);
        assert.equal(await page.textContent("#report-type"), "フル検索");
        assert.equal(await page.textContent("#report-found"), "8");
        assert.equal(await page.textContent("#report-cleaned"), "0");
        const findings = await rows(page, "#findings tbody tr");
        assert.deepEqual([...new Set(findings.map((f) => f.scanner))].sort(), scanners);
        assert.ok(findings.every((f) => f.state === "found"));
        for (const file of Object.values(planted))
            assert.ok(exists(`${console_.demo}/home/SpywareDemo/${file}`), file);
        assert.equal(await page.locator("#no-backup-sets").count(), 1);
        await shot(page, "spyware-report-ja");

        // A damaged report and a damaged set: messages, never a broken page.
        writeFileSync(`${engine}/LastSpywareScan.txt`,
                      Buffer.from("nvl-spyscan-report 1\nstatus d\xffne\nitem\t10\n", "latin1"));
        mkdirSync(`${engine}/BackupAS`, { recursive: true, mode: 0o700 });
        writeFileSync(`${engine}/BackupAS/20990101-000000-1-1.tbk`, "TARSKBAK garbage");
        const reply = await page.goto(console_.cgi("spyware.cgi"));
        assert.equal(reply.status(), 200);
        assert.equal(await page.locator("#report-unreadable").count(), 1);
        assert.equal(await page.locator(
            'section.backup-set[data-set="20990101-000000-1-1.tbk"] .unreadable').count(), 1);

        // A set name that is not a set of the directory is refused whatever it holds.
        for (const name of ["../LastSpywareScan.txt", "missing.tbk", "a/b.tbk", ".x.tbk"]) {
            await page.$eval('section.backup-set input[name="set"]',
                             (input, value) => { input.value = value; }, name);
            await submit(page, "section.backup-set button.restore");
            assert.equal(await page.getAttribute("#message", "class"), "notice error", name);
            assert.equal(await page.textContent("#message"),
                         "その名前のバックアップセットはありません。", name);
        }
        // The damaged set itself: the engine cannot read it, the page says so.
        await submit(page, "section.backup-set button.restore");
        assert.equal(await page.getAttribute("#message", "class"), "notice error");
        assert.equal(await page.textContent("#message"),
                     "20990101-000000-1-1.tbk を読み込めないため、何も復元しませんでした。");
        await shot(page, "spyware-damaged-ja");
        assert.deepEqual(page.problems, []);
    });
});
