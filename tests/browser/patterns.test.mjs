// The pattern page in a real browser, in both languages, with the master service running: the
// demo's patterns, engines, major virus types and extension lists as its files hold them; a
// newer pattern with fewer types read in through the page (the old rows go); the services
// notified, the new file named on the page and reloaded by the master service.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { readFileSync, existsSync } from "node:fs";
import { startConsole, launchBrowser, newPage, logOn, shot, runTool, build, sleep,
         languages } from "./support.mjs";

const title = { en: "Patterns and engines", ja: "パターンとエンジン" };
const labels = { en: ["Clean", "Quarantine"], ja: ["駆除", "隔離"] };

// Waits until `file` holds `text`, for as long as the master service may take to reload.
async function logHolds(file, text, ms = 20_000) {
    const until = Date.now() + ms;
    while (Date.now() < until) {
        if (existsSync(file) && readFileSync(file, "utf8").includes(text)) return true;
        await sleep(50);
    }
    return false;
}

for (const lang of languages) {
    describe(`patterns (${lang})`, () => {
        let browser, console_;
        before(async () => {
            console_ = await startConsole({ lang, masterService: true });
            browser = await launchBrowser();
        });
        after(async () => {
            await browser?.close();
            await console_?.stop();
        });

        const rows = (page) => page.locator("#major-type-list tbody tr").evaluateAll(
            (trs) => trs.map((tr) => [...tr.children].map((cell) => cell.textContent.trim())));

        test("the demo's files, a newer pattern read in, the services notified", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.click(`nav.menu a[href="patterns.cgi"]`);
            await page.waitForSelector("#virus-pattern");
            assert.equal(await page.textContent("h1"), title[lang]);

            // Three generations: the newest by internal version is current.
            assert.equal(await page.textContent("#pattern-current .version"), "349");
            assert.equal(await page.textContent("#pattern-previous .version"), "348");
            assert.notEqual(await page.textContent("#pattern-current .date"), "");
            assert.equal(await page.textContent("#spyware-file"), "hlaptn.103");
            assert.equal(await page.textContent("#spyware-version"), "10300");
            assert.equal(await page.textContent("#engine-NT .current .version"), "8.0");
            assert.equal(await page.textContent("#engine-NT .previous .version"), "7.510");
            assert.notEqual(await page.textContent("#engine-NT .current .date"), "");
            assert.equal(await page.textContent("#engine-95 .current .version"), "7.510");
            assert.equal(await page.textContent("#engine-IA64 .current .version"), "");
            const seeded = await rows(page);
            assert.equal(seeded.length, 5);
            assert.deepEqual(seeded[0], ["Virus", `1 ${labels[lang][0]}`, `5 ${labels[lang][1]}`]);
            assert.equal(await page.textContent("#ext-manual"), "EXE,.COM,.DLL,.DOC,.XLS,.ZIP");
            await shot(page, `patterns-${lang}`);

            // A newer pattern with two types and a shorter extension list.
            const file = `${console_.demo}/home/sig$vpf.350`;
            runTool(console_, `${build}/tools/nvlpattern/nvl-pattern`,
                    ["write", file, "--internal-version", "35000", "--type", "Worm:0:3",
                     "--type", "Macro:4:25", "--extensions", "{*;EXE;DOC}"]);
            await Promise.all([page.waitForLoadState("load"), page.click("#read")]);
            assert.match(await page.getAttribute("#message", "class"), /ok/);
            assert.ok((await page.textContent("#message")).includes("sig$vpf.350"));
            assert.equal(await page.textContent("#pattern-current .version"), "350");
            assert.equal(await page.textContent("#pattern-previous .version"), "349");
            assert.deepEqual((await rows(page)).map((row) => row[0]), ["Worm", "Macro"]);
            for (const id of ["ext-manual", "ext-realtime", "ext-scheduled", "ext-scannow"])
                assert.equal(await page.textContent(`#${id}`), "EXE,.DOC", id);

            // The services learn of it: the page names the file, the master service reloads it.
            await Promise.all([page.waitForLoadState("load"), page.click("#notify")]);
            assert.match(await page.getAttribute("#message", "class"), /ok/);
            assert.equal(await page.textContent("#path-virus"), file);
            assert.ok(await logHolds(`${console_.demo}/logs/masterservice.log`, file),
                      "the master service reloaded the new pattern");
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("a POST without the session's token changes nothing", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            const cookies = (await context.cookies()).map((c) => `${c.name}=${c.value}`).join("; ");
            const response = await fetch(console_.cgi("patterns.cgi"), {
                method: "POST", body: "action=notify", redirect: "manual",
                headers: { "Content-Type": "application/x-www-form-urlencoded", Cookie: cookies,
                           Origin: console_.origin } });
            assert.equal(response.status, 403);
            await context.close();
        });
    });
}
