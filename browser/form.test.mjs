// A person's view of trackrelay: headless Chromium opens the demo's tracking form, asks for a new
// number, types into the other fields, submits, and must see the remote host's answer relayed:
// the heading with the number the counter handed out and the fields as typed. Once with each
// submit button of the form (GET, then POST). scripts/browser-check.sh starts the demo and hands
// over:
//   TRACKRELAY_FORM_URL      the form page
//   TRACKRELAY_FIRST_NUMBER  the number the counter holds, which the first submission must get
//   TRACKRELAY_SCREENSHOTS   the folder for a picture of each answer
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const formUrl = process.env.TRACKRELAY_FORM_URL;
const firstNumber = Number(process.env.TRACKRELAY_FIRST_NUMBER);
const screenshots = process.env.TRACKRELAY_SCREENSHOTS;

// Debian's chromium, never a browser of Playwright's own, in a profile made for this run.
const chromiumFlags = ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

test('the tracking form, submitted in Chromium, shows the relayed answer', async (t) => {
  assert.ok(formUrl && Number.isInteger(firstNumber) && screenshots, 'run by scripts/browser-check.sh');
  const profile = mkdtempSync(join(tmpdir(), 'trackrelay-chromium-'));
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: chromiumFlags,
    viewport: { width: 900, height: 600 },
  });
  try {
    const page = browser.pages()[0] ?? await browser.newPage();
    for (const [index, method] of ['GET', 'POST'].entries()) {
      await t.test(`submitted by ${method}`, async () => {
        const form = await page.goto(formUrl);
        assert.equal(form.status(), 200, 'the form page');
        const tracking = page.locator('form [name="TRACKNO"]');
        assert.equal(await tracking.count(), 1, 'the form has one TRACKNO field');
        await tracking.fill('0');
        // What a person might type, with characters that must reach the answer unharmed.
        const typed = `Zoë & <Ada> by ${method}`;
        const fields = page.locator('form input[type="text"]:not([name="TRACKNO"]), form textarea');
        const count = await fields.count();
        assert.ok(count > 0, 'the form has fields to type into');
        for (let i = 0; i < count; ++i) await fields.nth(i).fill(typed);

        const buttons = page.locator('form [type="submit"]');
        assert.equal(await buttons.count(), 2, 'a GET and a POST button');
        const [answer] = await Promise.all([
          page.waitForNavigation({ timeout: 60000 }),
          buttons.nth(index).click(),
        ]);
        assert.equal(answer.status(), 200, 'the relayed page');
        assert.equal(answer.request().method(), method);
        const number = firstNumber + index;
        assert.equal((await page.locator('h1').textContent()).trim(), `Tracking number ${number}`);
        const cells = await page.locator('td').allTextContents();
        assert.equal(cells.filter((cell) => cell === typed).length, count, `each field as typed: ${cells}`);
        assert.ok(cells.includes('TRACKNO'), 'the TRACKNO field reached the remote host');
        await page.screenshot({ path: join(screenshots, `answer-${method.toLowerCase()}.png`), fullPage: true });
      });
    }
  } finally {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  }
});
