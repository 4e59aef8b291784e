// The hot-fix page in a real browser. In English: a newer virus pattern uploaded, its stages
// seen while the page is held in the middle of the rebuild (the rebuild's test stop after
// packing), then "rebuilt" with the version's display text, the file in place and the new
// version on the Components page; the same file again: "same version"; a foreign name and a
// damaged pattern refused, with nothing placed (the home's files unchanged, no upload left in
// TEMP). In Japanese: the page's texts, a refusal in the catalog's words, and the Components
// page's packages.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync, readFileSync, readdirSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { startConsole, launchBrowser, newPage, logOn, shot, sleep } from "./support.mjs";

const title = { en: "Hot fix", ja: "ホットフィックス" };
const packagesHeading = { en: "Packages agents are offered", ja: "エージェントに提供しているパッケージ" };

// The state letter of process `pid` ("T" while stopped), null when it is gone.
function processState(pid) {
    try {
        const stat = readFileSync(`/proc/${pid}/stat`, "latin1");
        return stat[stat.lastIndexOf(")") + 2];
    } catch {
        return null;
    }
}

// The console's hot-fix pages now held at their test stop.
function heldPages(console_) {
    const program = `${console_.demo}/www/norvel/cgi/hotfix.cgi`;
    const held = [];
    for (const entry of readdirSync("/proc")) {
        if (!/^\d+$/.test(entry)) continue;
        try {
            if (!readFileSync(`/proc/${entry}/cmdline`, "latin1").startsWith(program)) continue;
        } catch {
            continue;
        }
        if (processState(entry) === "T") held.push(Number(entry));
    }
    return held;
}

async function waitForHeld(console_) {
    for (let i = 0; i < 800; ++i) {
        const held = heldPages(console_);
        if (held.length > 0) return held;
        await sleep(25);
    }
    throw new Error("the hot-fix page did not reach its test stop");
}

// Every file below `dir` with its size and modification time, but the logs, the sessions' key
// files (each request touches its own) and the spyware demo's planted tree (whose names are not
// all text).
function snapshot(dir, skip = ["Log", "SpywareDemo"]) {
    const found = {};
    for (const entry of readdirSync(dir, { withFileTypes: true })) {
        if (skip.includes(entry.name) || entry.name.startsWith(".key_")) continue;
        const file = path.join(dir, entry.name);
        if (entry.isDirectory()) Object.assign(found, snapshot(file, []));
        else {
            const st = statSync(file);
            found[file] = `${st.size} ${st.mtimeMs}`;
        }
    }
    return found;
}

async function openPage(page, console_, lang) {
    await logOn(page, console_);
    await page.click(`nav.menu a[href="hotfix.cgi"]`);
    await page.waitForSelector("#hotfix-form");
    assert.equal(await page.textContent("h1"), title[lang]);
}

// Uploads `file` and waits for the page's result.
async function upload(page, file) {
    await page.setInputFiles("#hotfix-file", file);
    await Promise.all([page.waitForNavigation({ waitUntil: "commit" }), page.click("#upload-button")]);
    await page.waitForSelector("#result");
    await page.waitForLoadState("load");
}

const stages = (page) => page.$$eval("#stage-list li", (items) => items.map((li) => li.dataset.stage));

describe("hot fix (en)", () => {
    let browser, console_;
    before(async () => {
        console_ = await startConsole({ lang: "en",
                                        cgiEnv: { TARSK_TEST_STOP_AT: "hotfix-packed" } });
        browser = await launchBrowser();
    });
    after(async () => {
        for (const pid of console_ ? heldPages(console_) : []) process.kill(pid, "SIGCONT");
        await browser?.close();
        await console_?.stop();
    });

    test("a newer virus pattern, its stages as they pass, then the same again", async () => {
        const { page } = await newPage(browser);
        const home = `${console_.demo}/home`;
        const sample = `${console_.demo}/hotfix/sig$vpf.350`;
        await openPage(page, console_, "en");

        // Held after packing: the stages so far are on the screen, the result is not.
        await page.setInputFiles("#hotfix-file", sample);
        await Promise.all([page.waitForNavigation({ waitUntil: "commit" }),
                           page.click("#upload-button")]);
        const held = await waitForHeld(console_);
        await page.waitForSelector("#stage-rebuilding");
        assert.deepEqual(await stages(page), ["received", "checking", "checked", "placed",
                                              "rebuilding"]);
        assert.equal(await page.locator("#result").count(), 0);
        assert.match(await page.textContent("#stage-received"), /sig\$vpf\.350 \(\d+ bytes\)/);
        assert.match(await page.textContent("#stage-checked"), /valid Virus pattern, version 35000/);
        assert.equal(await page.textContent("#stage-placed"), `Placed as ${home}/sig$vpf.350.`);
        await shot(page, "hotfix-rebuilding-en");
        for (const pid of held) process.kill(pid, "SIGCONT");

        await page.waitForSelector("#result");
        await page.waitForLoadState("load");
        assert.equal(await page.getAttribute("#result", "data-result"), "rebuilt");
        assert.match(await page.textContent("#result"), /version 0\.350\.00/);
        assert.deepEqual(readFileSync(`${home}/sig$vpf.350`), readFileSync(sample));
        await shot(page, "hotfix-rebuilt-en");

        await Promise.all([page.waitForLoadState("load"), page.click("#show-packages")]);
        const row = `#package-list tr[data-kind="0"]`;
        assert.equal(await page.textContent(`${row} .version`), "35000");
        const zip = `${home}/Download/Pattern/marlin.zip`;
        assert.equal(await page.textContent(`${row} .size`), String(statSync(zip).size));
        assert.equal(await page.textContent(`${row} .package`), "Download/Pattern/marlin.zip");
        assert.match(readFileSync(`${home}/Download/server.ini`, "latin1"),
                     /^P\.4=Pattern\/MARLIN\.zip,35000,\d+\r?$/m);
        await shot(page, "hotfix-components-en");

        // The same file again: placed (the same bytes), and the package holds it already.
        await page.click(`nav.menu a[href="hotfix.cgi"]`);
        await page.waitForSelector("#hotfix-form");
        await upload(page, sample);
        assert.equal(await page.getAttribute("#result", "data-result"), "same");
        assert.match(await page.textContent("#result"), /already holds version 0\.350\.00/);
        assert.deepEqual(page.problems, []);
    });

    test("a foreign name and a damaged pattern place nothing", async () => {
        const { page } = await newPage(browser);
        const home = `${console_.demo}/home`;
        await openPage(page, console_, "en");
        const dir = mkdtempSync(path.join(tmpdir(), "hotfix-upload-"));
        const foreign = path.join(dir, "readme.txt");
        writeFileSync(foreign, "not a component\n");
        const damaged = path.join(dir, "sig$vpf.351");
        const bytes = readFileSync(`${console_.demo}/hotfix/sig$vpf.350`);
        bytes[bytes.length - 10] ^= 0x5a;  // in the body: the header still reads
        writeFileSync(damaged, bytes);
        const older = path.join(dir, "sig$vpf.300");
        writeFileSync(older, readFileSync(`${home}/sig$vpf.347`));

        const before = snapshot(home);
        for (const [file, message] of [
            [foreign, /readme\.txt is not the name of a file this page takes; nothing was placed/],
            [damaged, /sig\$vpf\.351 is not a valid Virus pattern; nothing was placed/],
            [older, /sig\$vpf\.300 is older than sig\$vpf\.350 on the server; nothing was placed/]]) {
            await upload(page, file);
            assert.equal(await page.getAttribute("#result", "data-result"), "refused");
            assert.match(await page.textContent("#result"), message);
            assert.equal(await page.locator("#stage-placed").count(), 0);
        }
        await shot(page, "hotfix-refused-en");
        // Nothing placed, nothing left behind in TEMP.
        assert.deepEqual(snapshot(home), before);
        const audit = readdirSync(`${home}/Log`).filter((f) => f.startsWith("audit"))
            .map((f) => readFileSync(`${home}/Log/${f}`, "latin1")).join("");
        assert.equal(audit.match(/, 11, hot fix, admin, fail, /g)?.length, 3);
        assert.deepEqual(page.problems, []);
    });
});

describe("hot fix (ja)", () => {
    let browser, console_;
    before(async () => {
        console_ = await startConsole({ lang: "ja" });
        browser = await launchBrowser();
    });
    after(async () => {
        await browser?.close();
        await console_?.stop();
    });

    test("its texts, a refusal and the packages", async () => {
        const { page } = await newPage(browser);
        await openPage(page, console_, "ja");
        assert.equal(await page.textContent("#upload-button"), "アップロードして再構築");
        assert.equal(await page.locator("#accepted-list tbody tr").count(), 9);
        const dir = mkdtempSync(path.join(tmpdir(), "hotfix-upload-"));
        writeFileSync(path.join(dir, "QXC.ptn.bak"), "x");
        await upload(page, path.join(dir, "QXC.ptn.bak"));
        assert.match(await page.textContent("#result"),
                     /QXC\.ptn\.bak はこのページが受け付けるファイル名ではありません/);
        await shot(page, "hotfix-ja");

        await page.click(`nav.menu a[href="components.cgi"]`);
        await page.waitForSelector("#packages");
        assert.equal(await page.textContent("#packages h2"), packagesHeading.ja);
        // The demo's packages, every one built by the rebuild at setup.
        const versions = await page.$$eval("#package-list tbody tr", (rows) =>
            Object.fromEntries(rows.map((r) => [r.dataset.kind, r.querySelector(".version").textContent])));
        assert.deepEqual(versions, { 0: "34900", 1: "10300", 2: "3.10.7", 3: "1207", 4: "415",
                                     6: "10100", 7: "10100", 8: "1204", 9: "10100" });
        await shot(page, "components-packages-ja");
        assert.deepEqual(page.problems, []);
    });
});
