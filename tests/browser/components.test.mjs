// The components page in a real browser, in both languages: the demo's system cleaner (3.10,
// appended-signed, accepted by the cleaner library), its patterns, the publisher-signed and the
// tampered tool, the trust roots; then an older cleaner and a newer cleaner pattern swapped in,
// both seen after "Check again".
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { copyFileSync, renameSync } from "node:fs";
import { startConsole, launchBrowser, newPage, logOn, shot, runTool, build,
         languages } from "./support.mjs";

const title = { en: "Components", ja: "コンポーネント" };

for (const lang of languages) {
    describe(`components (${lang})`, () => {
        let browser, console_;
        before(async () => {
            console_ = await startConsole({ lang });
            browser = await launchBrowser();
        });
        after(async () => {
            await browser?.close();
            await console_?.stop();
        });

        const cell = (page, file, column) =>
            page.textContent(`#executable-list tr[data-file="${file}"] .${column}`);
        const state = (page, selector) => page.getAttribute(`${selector} span`, "class");

        test("the demo's cleaner and tools, then an older cleaner and a newer pattern", async () => {
            const { page } = await newPage(browser);
            await logOn(page, console_);
            await page.click(`nav.menu a[href="components.cgi"]`);
            await page.waitForSelector("#cleaner");
            assert.equal(await page.textContent("h1"), title[lang]);

            assert.equal(await page.textContent("#qxc-version"), "3.10");
            assert.equal(await page.textContent("#qxc-special"), "QA 3.10");
            assert.equal(await state(page, "#qxc-appended"), "ok");
            assert.equal(await state(page, "#qxc-library"), "ok");
            assert.equal(await page.textContent("#qxc-pattern .version"), "1207");
            assert.equal(await page.textContent("#qxc-pattern .library"), "1207");
            assert.ok((await page.textContent("#qxc-pattern .file")).endsWith("/Admin/qxc.ptn"));
            assert.equal(await page.textContent("#kpw-pattern .version"), "415");
            assert.equal(await page.textContent("#kpw-pattern .library"), "415");
            assert.equal(await page.textContent("#roots-count"), "1");
            assert.ok((await page.textContent("#roots-file")).endsWith("/etc/trust-roots.pem"));

            const tool = "Admin/Tools/HLDIAG.EXE", tampered = "Download/Tools/HLFIX.EXE";
            assert.equal(await cell(page, tool, "signer"), "Halden Labs, Inc.");
            assert.equal(await page.getAttribute(
                `#executable-list tr[data-file="${tool}"] .publisher span`, "class"), "ok");
            assert.equal(await page.getAttribute(
                `#executable-list tr[data-file="${tampered}"] .publisher span`, "class"), "bad");
            assert.match(await cell(page, tampered, "publisher"), /0x80096010/);
            assert.equal(await cell(page, tampered, "version"), "3.10");
            await shot(page, `components-${lang}`);

            // An appended-signed 3.4 cleaner (too old for the library) and a newer pattern.
            const admin = `${console_.demo}/home/Admin`;
            copyFileSync(`${build}/fixtures/executables/app-3.4.exe`, `${admin}/QXC.EXE.new`);
            renameSync(`${admin}/QXC.EXE.new`, `${admin}/QXC.EXE`);
            runTool(console_, `${build}/tools/nvlcleanerpattern/nvl-cleaner-pattern`,
                    ["write", `${admin}/qxc.ptn`, "--version", "1300"]);
            await Promise.all([page.waitForLoadState("load"), page.click("#check-again")]);
            assert.equal(await page.textContent("#qxc-version"), "3.4");
            assert.equal(await state(page, "#qxc-appended"), "ok");
            assert.equal(await state(page, "#qxc-library"), "bad");
            assert.match(await page.textContent("#qxc-library"), /0x80000009/);
            // The file holds the new pattern; the library, refusing the cleaner, reads none.
            assert.equal(await page.textContent("#qxc-pattern .version"), "1300");
            assert.equal(await state(page, "#qxc-pattern .library"), "empty");
            await shot(page, `components-swapped-${lang}`);
        });
    });
}
