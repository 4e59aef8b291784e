// The server information page in a real browser, in both languages: the seeded component
// versions with their dates in the system locale's form (a malformed stamp gives an empty date
// beside its version), the server's time following the console's date format once nvl-reg sets
// it, the database tables with derived and default paths, the texts intact in the declared
// charset, and the time-out page without a session.
import { describe, test, before, after } from "node:test";
import assert from "node:assert/strict";
import { startConsole, launchBrowser, newPage, logOn, isTimeout, shot, runTool, build,
         languages } from "./support.mjs";

const seededDate = { en: "8/31/2006 9:41:07", ja: "2006/08/31 9:41:07" };
const serverTime = { en: /^\d{1,2}\/\d{1,2}\/\d{4} \d{1,2}:\d\d:\d\d$/,
                     ja: /^\d{4}\/\d\d\/\d\d \d{1,2}:\d\d:\d\d$/ };
const title = { en: "Server information", ja: "サーバ情報" };
const consoleKey = "HKLM\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Console";

for (const lang of languages) {
    describe(`server information (${lang})`, () => {
        let browser, console_;
        before(async () => {
            console_ = await startConsole({ lang });
            browser = await launchBrowser();
        });
        after(async () => {
            await browser?.close();
            await console_?.stop();
        });

        const cell = (page, row, column) => page.textContent(`#${row} .${column}`);

        test("versions, dates, pictures and tables as the server keeps them", async () => {
            const { context, page } = await newPage(browser);
            await logOn(page, console_);
            await page.click(`nav.menu a[href="serverinfo.cgi"]`);
            await page.waitForSelector("#versions");
            assert.equal(await page.textContent("h1"), title[lang]);
            const response = await page.reload();
            assert.match(response.headers()["content-type"], /charset=utf-8/i);
            assert.equal(await page.evaluate(() => document.characterSet), "UTF-8");

            assert.equal(await cell(page, "ver-EngineNT", "version"), "8.0");
            assert.equal(await cell(page, "ver-EngineNT", "date"), seededDate[lang]);
            assert.equal(await cell(page, "ver-EngineX64", "date"), seededDate[lang]);
            // The client stamp of the 95 family has 13 digits: no date, the version still shown.
            assert.equal(await cell(page, "ver-Vdx95", "version"), "3.1.1042");
            assert.equal(await cell(page, "ver-Vdx95", "date"), "");
            // Nothing recorded for 16-bit Windows.
            assert.equal(await cell(page, "ver-Vdxw16", "version"), "");
            assert.notEqual(await cell(page, "ver-Pattern", "date"), "");

            assert.match(await page.textContent("#server-time"), serverTime[lang]);
            assert.equal(await page.textContent("#date-picture"),
                         lang === "en" ? "M/d/yyyy" : "yyyy/MM/dd");
            assert.equal(await page.locator("#custom-date .empty").count(), 1);

            const demo = console_.demo;
            assert.equal(await cell(page, "table-CIData", "path"), `${demo}/db/dBCIData.dbf`);
            assert.equal(await cell(page, "table-CXData", "path"), `${demo}/db/dBCXData.dbf`);
            assert.equal(await page.locator("#table-CXData .missing").count(), 0);
            assert.equal(await cell(page, "table-NTData", "path"), `${demo}/db/dBNTData.dbf`);
            assert.equal(await page.locator("#table-NTData .missing").count(), 1);
            assert.equal(await cell(page, "table-TempDB", "path"), `${demo}/c/dbtemp.dbf`);
            assert.equal(await cell(page, "table-VCLog", "path"), `${demo}/c/Temp/dBVCLog.dbf`);
            assert.equal(await page.locator("#table-VCLog .missing").count(), 0);
            await shot(page, `serverinfo-${lang}`);

            // The console's date format, set by another program, is used by the next request
            // for the server's time; the components' dates keep the locale's form.
            runTool(console_, `${build}/tools/nvlreg/nvl-reg`,
                    ["set", consoleKey, "FmtDate", "sz", "yyyy-MM-dd"]);
            await page.reload();
            assert.match(await page.textContent("#server-time"),
                         /^\d{4}-\d\d-\d\d \d{1,2}:\d\d:\d\d$/);
            assert.equal(await page.textContent("#custom-date"), "yyyy-MM-dd");
            assert.equal(await cell(page, "ver-EngineNT", "date"), seededDate[lang]);
            runTool(console_, `${build}/tools/nvlreg/nvl-reg`, ["delete", consoleKey, "FmtDate"]);
            assert.deepEqual(page.problems, []);
            await context.close();
        });

        test("without a session the page is the time-out page", async () => {
            const { context, page } = await newPage(browser);
            const response = await page.goto(console_.cgi("serverinfo.cgi"));
            assert.equal(response.status(), 200);
            assert.ok(await isTimeout(page));
            assert.equal(await page.locator("#versions").count(), 0);
            await context.close();
        });
    });
}
