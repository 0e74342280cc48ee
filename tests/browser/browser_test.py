#!/usr/bin/python3
"""The browser road in a real Chromium: the unpacked extension in a temporary profile, the host's
manifest in that profile, the demo page served on localhost.

A SoftHSM2 token, one browser session with several rounds: what `status` tells a page, consent
denied (nothing reaches the page before the holder answers), a page that signs with a guessed
certificate asked first (denied, then allowed once), allowed, remembered and taken back in the
options page, a signature checked with openssl, a wrong PIN then the right one, cancel, a
PIN window left unanswered past the page's time limit, two sites asking at once, no card, and a
page on an origin that may not ask. Then the test module as cards SoftHSM2 cannot be, one browser
session each (the host's agent keeps the module it loaded): a reader with its own PIN pad (and a
tab closed while its PIN window is open: nothing logs in), and a card that shows its certificate
only after the PIN.

Screenshots of the consent and PIN windows, in Chinese and in English, go to --out.

Exit status 77 when Chromium, its driver or Selenium is missing (CTest shows the test skipped).
"""
import argparse
import functools
import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import base64
import hashlib
import json

SKIP = 77


def log(*args):
    print('browser_test:', *args, flush=True)


def start_xvfb(work):
    """Xvfb on a free display (it picks the number and writes it to a pipe); None without it."""
    if not shutil.which('Xvfb'):
        return None, None
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(['Xvfb', '-displayfd', str(write_end), '-nolisten', 'tcp',
                             '-screen', '0', '1280x900x24'], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, 'xvfb.log'), 'w'))
    os.close(write_end)
    number = b''
    deadline = time.time() + 10
    while time.time() < deadline and not number.endswith(b'\n'):
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip():
        proc.kill()
        proc.wait()
        return None, None
    return proc, ':' + number.decode().strip()


def make_token(script, work):
    out = os.path.join(work, 'token')
    subprocess.run([script, out], check=True, stdout=subprocess.DEVNULL)
    env = subprocess.run(['bash', '-c', f'set -a; source {out}/demo.env; env -0'],
                         check=True, capture_output=True).stdout
    values = dict(item.split('=', 1) for item in env.decode().split('\0') if '=' in item)
    return {k: values[k] for k in ('SOFTHSM2_CONF', 'DEMO_MODULE', 'DEMO_PIN', 'DEMO_READER',
                                   'DEMO_SIGN_CERT', 'DEMO_SIGN_PUB')}, out


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def guess_type(self, path):
        return 'text/javascript' if path.endswith('.js') else super().guess_type(path)


def processes_with(marker):
    """Processes whose environment holds `marker` (a browser session's private runtime folder)."""
    found = []
    for pid in os.listdir('/proc'):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open(f'/proc/{pid}/environ', 'rb') as f:
                if marker.encode() + b'\0' in f.read():
                    with open(f'/proc/{pid}/cmdline', 'rb') as c:
                        found.append((int(pid), c.read().replace(b'\0', b' ').decode(errors='replace')))
        except OSError:
            pass
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--host', required=True)
    parser.add_argument('--web', required=True)
    parser.add_argument('--token-script', required=True)
    parser.add_argument('--test-module', required=True)
    parser.add_argument('--out', required=True, help='screenshots and logs')
    args = parser.parse_args()

    try:
        from selenium import webdriver
        from selenium.webdriver.common.by import By
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.support.ui import WebDriverWait
        from selenium.common.exceptions import TimeoutException, WebDriverException
    except ImportError:
        log('python3-selenium is not installed: skipped')
        return SKIP
    chromium = shutil.which('chromium')
    driver_path = shutil.which('chromedriver')
    if not chromium or not driver_path:
        log('chromium or chromium-driver is not installed: skipped')
        return SKIP

    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix='tessivo-browser-')
    xvfb = server = None
    failures = []
    def locale_texts(name):
        with open(os.path.join(args.web, 'extension', '_locales', name, 'messages.json'),
                  encoding='utf-8') as f:
            return {key: value['message'] for key, value in json.load(f).items()}

    texts = locale_texts('zh_TW')
    texts_en = locale_texts('en')

    def check(condition, what):
        log(('ok   ' if condition else 'FAIL ') + what)
        if not condition:
            failures.append(what)

    class Browser:
        """One Chromium with the extension, its own profile and runtime folder; the host (and
        its agent) it starts see the environment given here."""

        def __init__(self, name, environment, lang='zh-TW'):
            self.runtime = os.path.join(work, 'runtime-' + name)
            os.mkdir(self.runtime, 0o700)
            for key in ('SOFTHSM2_CONF', 'TESSIVO_TESTMODULE_CONFIG'):
                os.environ.pop(key, None)
            os.environ.update(environment)
            os.environ['XDG_RUNTIME_DIR'] = self.runtime
            profile = os.path.join(work, 'profile-' + name)
            subprocess.run([args.host, '--install', '--manifest-dir',
                            os.path.join(profile, 'NativeMessagingHosts')], check=True,
                           stdout=subprocess.DEVNULL)
            options = webdriver.ChromeOptions()
            options.binary_location = chromium
            for flag in ['--no-sandbox', f'--user-data-dir={profile}',
                         f'--load-extension={os.path.join(args.web, "extension")}',
                         f'--lang={lang}', '--no-first-run', '--disable-gpu']:
                options.add_argument(flag)
            if not display:
                options.add_argument('--headless=new')
            options.add_experimental_option('enableExtensionTargets', True)
            self.driver = webdriver.Chrome(
                service=Service(driver_path,
                                log_output=os.path.join(work, f'chromedriver-{name}.log')),
                options=options)
            self.wait = WebDriverWait(self.driver, 20)
            # Set here rather than with --window-size, which would size the PIN window too.
            self.driver.set_window_size(900, 640)
            self.main_window = self.driver.current_window_handle
            self.tabs = {self.main_window}

        def quit(self):
            self.driver.quit()
            # The host ends when the browser closes its port, the agent with its host.
            marker = 'XDG_RUNTIME_DIR=' + self.runtime
            deadline = time.time() + 10
            left = processes_with(marker)
            while left and time.time() < deadline:
                time.sleep(0.2)
                left = processes_with(marker)
            check(not left, 'nothing left running: ' + '; '.join(c for _, c in left))
            for pid, _ in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass

        def extension_windows(self, kinds=('pin.html', 'consent.html')):
            """The extension's consent and PIN windows now open; the driver stays on the window
            it was on (or goes to the main tab when that one has closed)."""
            try:
                was = self.driver.current_window_handle
            except WebDriverException:
                was = self.main_window
            found = []
            for handle in self.driver.window_handles:
                if handle in self.tabs:
                    continue
                try:
                    self.driver.switch_to.window(handle)
                    url = self.driver.current_url or ''
                except WebDriverException:
                    continue  # closed in the meantime
                if any(kind in url for kind in kinds):
                    found.append(handle)
            self.driver.switch_to.window(was if was in found or was in self.tabs
                                         else self.main_window)
            return found

        def pin_windows(self):
            return self.extension_windows(('pin.html',))

        def windows_close(self):
            """True once no consent or PIN window is left (closing one is asynchronous)."""
            try:
                WebDriverWait(self.driver, 5).until(lambda d: not self.extension_windows())
                return True
            except TimeoutException:
                return False

        pin_window_closes = windows_close

        def extension_window(self, kind):
            handle = self.wait.until(lambda d: (self.extension_windows((kind,)) or [False])[0])
            self.driver.switch_to.window(handle)
            self.wait.until(lambda d: d.execute_script('return document.body.dataset.ready'))
            # The extension's own address, for its options page.
            self.extension_base = self.driver.current_url.rsplit('/', 1)[0]

        def pin_window(self):
            self.extension_window('pin.html')

        def consent_window(self):
            self.extension_window('consent.html')

        def text(self, element_id):
            return self.driver.find_element(By.ID, element_id).text

        def outcome(self):
            self.driver.switch_to.window(self.main_window)
            element = self.driver.find_element(By.ID, 'outcome')
            self.wait.until(lambda d: element.get_attribute('data-state') in ('ok', 'failed'))
            return element

        def type_pin(self, pin):
            field = self.driver.find_element(By.ID, 'pin')
            field.clear()
            field.send_keys(pin)
            self.driver.find_element(By.ID, 'ok').click()

        def start_call(self, command, *call_args, tab=None):
            """Calls one of tessivo.js's functions in the page without waiting for its answer,
            as a page that does not use the demo's button would."""
            self.driver.switch_to.window(tab or self.main_window)
            self.driver.execute_script('''
                const [command, callArgs] = arguments;
                window.testOutcome = null;
                import('/tessivo.js').then((m) => m[command](...callArgs)).then(
                  (result) => { window.testOutcome = { result }; },
                  (e) => { window.testOutcome = { code: e.code || 'error', message: e.message }; });
            ''', command, list(call_args))

        def call_outcome(self, seconds=20, tab=None):
            self.driver.switch_to.window(tab or self.main_window)
            return WebDriverWait(self.driver, seconds).until(
                lambda d: d.execute_script('return window.testOutcome'))

        def call_code(self, tab, command, *call_args):
            """Calls one of tessivo.js's functions in a tab and waits for its error code ('ok'
            when it succeeds), leaving the tab's other calls alone."""
            self.driver.switch_to.window(tab)
            return self.driver.execute_async_script('''
                const done = arguments[arguments.length - 1];
                const [command, callArgs] = arguments;
                import('/tessivo.js').then((m) => m[command](...callArgs))
                  .then(() => done('ok'), (e) => done(e.code));
            ''', command, list(call_args))

        def new_tab(self, url):
            self.driver.switch_to.new_window('tab')
            handle = self.driver.current_window_handle
            self.tabs.add(handle)
            self.driver.get(url)
            return handle

        def close_tab(self, handle):
            self.driver.switch_to.window(handle)
            self.driver.close()
            self.tabs.discard(handle)
            self.driver.switch_to.window(self.main_window)


    def verifies(data, signature, public_key):
        data_file = os.path.join(work, 'data.txt')
        sig_file = os.path.join(work, 'signature.bin')
        with open(data_file, 'wb') as f:
            f.write(data)
        with open(sig_file, 'wb') as f:
            f.write(base64.b64decode(signature))
        verify = subprocess.run(['openssl', 'dgst', '-sha256', '-verify', public_key,
                                 '-signature', sig_file, data_file], capture_output=True)
        return verify.returncode == 0 and b'Verified OK' in verify.stdout

    def demo_signature_checks(b, element, what):
        check(element.get_attribute('data-verified') == 'true', what + ': verified in the page')
        text = b.driver.find_element(By.ID, 'text').get_attribute('value')
        check(verifies(text.encode(), b.text('signature'), token['DEMO_SIGN_PUB']),
              what + ': openssl verifies it against the card\'s certificate')

    browser = None
    try:
        token, token_dir = make_token(args.token_script, work)
        with open(os.path.join(token_dir, 'sign.der'), 'rb') as f:
            certificate = base64.b64encode(f.read()).decode()

        handler = functools.partial(QuietHandler, directory=args.web)
        server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        port = server.server_address[1]
        threading.Thread(target=server.serve_forever, daemon=True).start()
        demo = f'http://localhost:{port}/demo/index.html'
        origin = f'http://localhost:{port}'

        xvfb, display = start_xvfb(work)
        if display:
            os.environ['DISPLAY'] = display

        # ---- the SoftHSM2 token ----
        browser = b = Browser('softhsm', {'SOFTHSM2_CONF': token['SOFTHSM2_CONF'],
                                          'TESSIVO_PKCS11_MODULE': token['DEMO_MODULE']})
        started = time.time()
        b.driver.get(demo)

        # status tells a page only that the extension and the host are there.
        b.start_call('status')
        answer = b.call_outcome()
        check(answer.get('result') == {'extension': True, 'host': True, 'protocolVersion': 1},
              f'status tells only that extension and host are there ({answer})')

        # Consent denied: the page has nothing while the window is open, then user-cancelled;
        # the same site may not open another window at once.
        b.driver.find_element(By.ID, 'sign').click()
        b.consent_window()
        check(b.text('site-host') == 'localhost' and b.text('site-origin') == origin,
              'the consent window shows the host name and under it the origin')
        check(not b.driver.find_element(By.ID, 'remember').is_selected() and
              b.driver.execute_script('return document.activeElement.id') == 'cancel',
              'remembering is not ticked beforehand, the keyboard starts on Deny')
        b.driver.save_screenshot(os.path.join(args.out, 'consent-zh-TW.png'))
        b.driver.switch_to.window(b.main_window)
        check(b.text('holder') == '' and
              b.driver.find_element(By.ID, 'outcome').get_attribute('data-state') == 'busy',
              'nothing reaches the page before the holder answers')
        b.consent_window()
        b.driver.find_element(By.ID, 'cancel').click()
        element = b.outcome()
        check(element.get_attribute('data-code') == 'user-cancelled' and b.text('holder') == '',
              'consent denied gives user-cancelled and no certificate')
        check(b.windows_close(), 'the consent window closes')
        b.start_call('getSigningCertificate')
        answer = b.call_outcome()
        check(answer.get('code') == 'busy' and not b.extension_windows(),
              f'right after a denial the site gets busy, no window ({answer})')
        time.sleep(3.2)

        # A page never allowed probes with a certificate of its own guessing: the consent window
        # asks first, in its signing wording, and nothing about the card reaches the page before
        # the holder answers. Denied: user-cancelled, never certificate-mismatch.
        with open(os.path.join(token_dir, 'keyx.der'), 'rb') as f:
            guessed = base64.b64encode(f.read()).decode()
        probe = base64.b64encode(hashlib.sha256(b'probe').digest()).decode()
        b.start_call('sign', guessed, probe, 'SHA-256')
        b.consent_window()
        check(b.driver.find_element(By.TAG_NAME, 'h1').text == texts['consentSignTitle'] and
              b.driver.title == texts['consentSignTitle'] and
              texts['consentSignMatch'] in b.driver.find_element(By.TAG_NAME, 'ul').text,
              'a sign without consent: the consent window asks in its signing wording')
        b.driver.save_screenshot(os.path.join(args.out, 'consent-sign-zh-TW.png'))
        b.driver.switch_to.window(b.main_window)
        check(b.driver.execute_script('return window.testOutcome') is None,
              'a probing page hears nothing before the holder answers')
        b.consent_window()
        b.driver.find_element(By.ID, 'cancel').click()
        answer = b.call_outcome()
        check(answer.get('code') == 'user-cancelled' and b.windows_close(),
              f'a probe denied gives user-cancelled, nothing about the card ({answer})')
        time.sleep(3.2)

        # Allowed once (not remembered): the same page learns that its certificate is not the
        # card's, with no PIN window; its next signature goes straight to the PIN window, and it
        # gets the signature and nothing more.
        b.start_call('sign', guessed, probe, 'SHA-256')
        b.consent_window()
        b.driver.find_element(By.ID, 'ok').click()
        answer = b.call_outcome()
        check(answer.get('code') == 'certificate-mismatch' and b.windows_close(),
              f'allowed once: another certificate gives certificate-mismatch, no PIN window ({answer})')
        b.start_call('sign', certificate, probe, 'SHA-256')
        b.wait.until(lambda d: b.extension_windows())
        check(b.pin_windows() and len(b.extension_windows()) == 1,
              'allowed once: the page\'s next signature opens the PIN window, no second consent')
        b.pin_window()
        b.type_pin(token['DEMO_PIN'])
        answer = b.call_outcome()
        check(sorted(answer.get('result', {})) == ['hashAlgorithm', 'signature', 'signatureAlgorithm']
              and verifies(b'probe', answer['result']['signature'], token['DEMO_SIGN_PUB']),
              f'allowed once: the page gets the signature and nothing more ({answer})')

        # Consent allowed once, then the signature with the right PIN. Reading the certificate
        # asks again though the page may sign.
        b.driver.find_element(By.ID, 'sign').click()
        b.consent_window()
        b.driver.find_element(By.ID, 'ok').click()
        b.pin_window()
        check(len(b.extension_windows()) == 1, 'the consent window is gone when the PIN window opens')
        check(b.text('site-host') == 'localhost' and b.text('site-origin') == origin,
              'the PIN window shows the site as the consent window does')
        check(b.text('holder') == '林美華', 'the PIN window shows the holder')
        check(b.text('reader') == token['DEMO_READER'], 'the PIN window shows the reader')
        check(b.text('description').startswith('「申請書 2024-117：'),
              'the PIN window shows the site\'s description, quoted: ' + b.text('description'))
        check(b.text('hash').startswith('SHA-256 · ') and len(b.text('hash')) > 20,
              'the PIN window shows the hash algorithm and a fingerprint: ' + b.text('hash'))
        check(b.text('issuer') != '' and b.text('valid-until') != '',
              'the PIN window shows the issuer and the end of validity')
        check(b.driver.execute_script('return document.documentElement.lang') == 'zh-TW',
              'the PIN window is marked as Chinese')
        buttons = [e.get_attribute('id') for e in
                   b.driver.find_elements(By.CSS_SELECTOR, '.buttons button')]
        check(buttons == ['cancel', 'ok'], f'Cancel then OK outside Windows ({buttons})')
        b.driver.save_screenshot(os.path.join(args.out, 'pin-zh-TW.png'))
        b.type_pin(token['DEMO_PIN'])
        element = b.outcome()
        demo_signature_checks(b, element, 'right PIN')
        b.driver.save_screenshot(os.path.join(args.out, 'demo-signed.png'))

        # Asked again (not remembered); remembered this time. A wrong PIN, the window says so and
        # stays; then the right one.
        b.driver.find_element(By.ID, 'sign').click()
        b.consent_window()
        b.driver.find_element(By.ID, 'remember').click()
        b.driver.find_element(By.ID, 'ok').click()
        b.pin_window()
        b.type_pin('000000')
        b.wait.until(lambda d: 'PIN' in d.find_element(By.ID, 'message').text and
                     d.find_element(By.ID, 'ok').is_enabled())
        check('錯誤' in b.text('message'), 'a wrong PIN is told in the PIN window')
        check(b.text('tries') == texts['pinCountLow'],
              'after a wrong PIN the window tells the card\'s tries state: ' + b.text('tries'))
        b.driver.save_screenshot(os.path.join(args.out, 'pin-wrong.png'))
        b.type_pin(token['DEMO_PIN'])
        demo_signature_checks(b, b.outcome(), 'wrong PIN then right PIN')

        # Remembered: straight to the PIN window. Cancel.
        b.driver.find_element(By.ID, 'sign').click()
        b.pin_window()
        b.driver.find_element(By.ID, 'cancel').click()
        check(b.outcome().get_attribute('data-code') == 'user-cancelled',
              'cancel gives user-cancelled')
        time.sleep(3.2)

        # Descriptions that are not one line of plain text are refused before any window.
        for bad in ['x' * 201, 'line one\nline two', 'pay \u202etxt.exe']:
            b.start_call('sign', certificate, base64.b64encode(b'\0' * 32).decode(), 'SHA-256',
                         {'description': bad})
            answer = b.call_outcome()
            check(answer.get('code') == 'invalid-request' and not b.extension_windows(),
                  f'description {bad[:12]!r}: invalid-request, no window ({answer.get("code")})')

        # The PIN window left unanswered past the page's shorter time limit: the extension
        # closes it and the page gets timeout. Its description, markup, is shown as text.
        limit_s = 3
        markup = '<img src=x onerror="document.title=1"><b>付款</b>'
        hash_b64 = base64.b64encode(hashlib.sha256(b'never signed').digest()).decode()
        asked = time.time()
        b.start_call('sign', certificate, hash_b64, 'SHA-256',
                     {'timeLimitMs': limit_s * 1000, 'description': markup})
        b.pin_window()
        check(b.text('description') == '「' + markup + '」' and
              not b.driver.find_elements(By.CSS_SELECTOR, '#description *'),
              'a description is shown as plain text, never as markup')
        answer = b.call_outcome()
        waited = time.time() - asked
        check(answer.get('code') == 'timeout',
              f'an unanswered PIN window gives timeout (got {answer}) after {waited:.1f} s')
        check(waited >= limit_s, 'not before the time limit the page asked for')
        check(b.pin_window_closes(), 'the timed-out PIN window is closed')

        # Two sites at once: one window at a time, each gets its own signature. A page's second
        # request while its first is pending is busy.
        server2 = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        threading.Thread(target=server2.serve_forever, daemon=True).start()
        origin2 = f'http://localhost:{server2.server_address[1]}'
        try:
            other = b.new_tab(origin2 + '/demo/index.html')
            data = {origin: b'first site', origin2: b'second site'}
            hashes = {o: base64.b64encode(hashlib.sha256(d).digest()).decode()
                      for o, d in data.items()}
            b.start_call('sign', certificate, hashes[origin], 'SHA-256')
            b.pin_window()
            b.start_call('sign', certificate, hashes[origin2], 'SHA-256', tab=other)
            busy = b.call_code(other, 'sign', certificate, hashes[origin2], 'SHA-256')
            check(busy == 'busy', f'a page\'s second request while one is pending: busy ({busy})')
            third = b.new_tab(origin2 + '/demo/index.html')
            busy = b.call_code(third, 'sign', certificate, hashes[origin2], 'SHA-256')
            check(busy == 'busy', f'a second waiting request of one site: busy ({busy})')
            b.close_tab(third)
            time.sleep(1)
            windows = b.extension_windows()
            check(len(windows) == 1, f'two sites asking: one window at a time ({len(windows)})')
            results = {}
            for round_number in range(2):
                if round_number == 1:
                    b.consent_window()
                    check(b.text('site-origin') == origin2,
                          'the second site, never allowed, is asked before its PIN window')
                    b.driver.find_element(By.ID, 'ok').click()
                b.pin_window()
                asking = b.text('site-origin')
                check(len(b.extension_windows()) == 1, 'never two windows at once')
                b.extension_window('pin.html')
                b.type_pin(token['DEMO_PIN'])
                results[asking] = b.call_outcome(tab=b.main_window if asking == origin else other)
                b.driver.switch_to.window(b.main_window)
            for o in (origin, origin2):
                answer = results.get(o, {})
                check('result' in answer and
                      verifies(data[o], answer['result']['signature'], token['DEMO_SIGN_PUB']),
                      f'{o} gets the signature of its own hash')
            b.close_tab(other)
        finally:
            server2.shutdown()
            server2.server_close()

        # No card (the token's folder taken away, put back afterwards).
        tokens = os.path.join(token_dir, 'tokens')
        os.rename(tokens, tokens + '.away')
        os.mkdir(tokens)
        try:
            b.driver.find_element(By.ID, 'sign').click()
            code = b.outcome().get_attribute('data-code')
            check(code == 'no-card', 'no card gives no-card (got ' + code + ')')
        finally:
            os.rmdir(tokens)
            os.rename(tokens + '.away', tokens)

        # Taken back in the options page: the site is asked again.
        b.driver.get(b.extension_base + '/options.html')
        b.wait.until(lambda d: d.execute_script('return document.body.dataset.ready'))
        listed = [e.text for e in b.driver.find_elements(By.CSS_SELECTOR, '#sites li span')]
        check(listed == [origin], f'the options page lists the remembered site ({listed})')
        b.driver.find_element(By.CSS_SELECTOR, f'button[data-origin="{origin}"]').click()
        b.wait.until(lambda d: d.find_element(By.ID, 'none').is_displayed())
        b.driver.get(demo)
        b.start_call('getSigningCertificate')
        b.consent_window()
        b.driver.find_element(By.ID, 'cancel').click()
        check(b.call_outcome().get('code') == 'user-cancelled', 'a site taken back is asked again')

        # A page on an origin that may not ask (plain http, not localhost).
        b.driver.get(f'http://127.0.0.1:{port}/demo/index.html')
        b.driver.find_element(By.ID, 'sign').click()
        check(b.outcome().get_attribute('data-code') == 'origin-refused',
              'http://127.0.0.1 gives origin-refused')
        log(f'SoftHSM2 rounds took {time.time() - started:.1f} s')
        browser = None
        b.quit()

        # ---- the test module: a reader with a PIN pad, then a card with its certificate
        # behind the PIN ----
        def card_config(name, settings, certificate_kind, encipherment=True):
            path = os.path.join(work, name + '.conf')
            files = {k: os.path.join(token_dir, k) for k in
                     ('sign.pem', 'sign.key', 'keyx.pem', 'keyx.key')}
            with open(path, 'w') as f:
                f.write(settings +
                        f"pin = {token['DEMO_PIN']}\n"
                        f"object = {certificate_kind} ; SIGN ; {files['sign.pem']}\n"
                        f"object = key ; SIGN ; {files['sign.key']}\n")
                if encipherment:
                    f.write(f"object = {certificate_kind} ; KEYX ; {files['keyx.pem']}\n"
                            f"object = key ; KEYX ; {files['keyx.key']}\n")
            return {'TESSIVO_PKCS11_MODULE': args.test_module, 'TESSIVO_TESTMODULE_CONFIG': path}

        # A reader with its own PIN pad, in an English browser. First a tab closed, a page
        # reloaded and one navigated away from while its PIN window is open: the window closes
        # and nothing logs in. Each is a new page, asked first: an Allow does not outlive its
        # page.
        login_log = os.path.join(work, 'login.log')
        browser = b = Browser('pinpad', card_config(
            'pinpad', 'slot = Tessivo PIN-pad Reader ; 1 ; CITIZEN ; PAD00001\n'
            f'protected_auth = 1\nlogin_log = {login_log}\n', 'cert'), lang='en')
        b.driver.get(demo)
        tab = b.new_tab(demo)
        b.start_call('sign', certificate, base64.b64encode(b'\1' * 32).decode(), 'SHA-256',
                     tab=tab)
        b.consent_window()
        check(b.driver.find_element(By.TAG_NAME, 'h1').text == texts_en['consentSignTitle'],
              'the English consent window in its signing wording')
        b.driver.save_screenshot(os.path.join(args.out, 'consent-sign-en.png'))
        b.driver.find_element(By.ID, 'ok').click()
        b.pin_window()
        check(len(b.extension_windows()) == 1,
              'a signature\'s consent window is gone when its PIN window opens')
        b.close_tab(tab)
        check(b.windows_close(), 'a tab closed: its PIN window closes')
        time.sleep(0.5)
        check(not os.path.exists(login_log) or open(login_log).read() == '',
              'a tab closed: nothing logs in')
        # The same for a page reloaded and a page navigated away from.
        for what, leave in [('reloaded', lambda: b.driver.refresh()),
                            ('navigated away', lambda: b.driver.get(demo + '?next'))]:
            b.start_call('sign', certificate, base64.b64encode(b'\2' * 32).decode(), 'SHA-256')
            b.wait.until(lambda d: b.extension_windows())
            check(b.extension_windows(('consent.html',)),
                  'a page not allowed yet, or loaded anew after its Allow, is asked first')
            b.consent_window()
            b.driver.find_element(By.ID, 'ok').click()
            b.pin_window()
            b.driver.switch_to.window(b.main_window)
            leave()
            check(b.windows_close(), f'a page {what}: its PIN window closes')
        time.sleep(0.5)
        check(not os.path.exists(login_log) or open(login_log).read() == '',
              'pages reloaded or navigated away: nothing logs in')

        # No PIN field, the holder is told to use the keypad; OK alone signs, and the card's
        # login gets no PIN (length 0).
        b.driver.find_element(By.ID, 'sign').click()
        b.consent_window()
        check(b.driver.execute_script('return document.documentElement.lang') == 'en' and
              b.driver.find_element(By.ID, 'ok').text == texts_en['consentAllow'],
              'an English browser gets the English consent window, marked as English')
        b.driver.save_screenshot(os.path.join(args.out, 'consent-en.png'))
        b.driver.find_element(By.ID, 'ok').click()
        b.pin_window()
        check(not b.driver.find_element(By.ID, 'pin').is_displayed(),
              'a PIN-pad reader: the PIN window has no PIN field')
        check(b.text('prompt') == texts_en['pinOnPad'] and b.text('message') == '',
              'a PIN-pad reader: the PIN window tells to use the keypad, as its prompt')
        b.driver.save_screenshot(os.path.join(args.out, 'pin-en-pin-pad.png'))
        check(b.text('reader') == 'Tessivo PIN-pad Reader' and b.text('holder') == '林美華',
              'a PIN-pad reader: the PIN window shows the reader and the holder')
        b.driver.find_element(By.ID, 'ok').click()
        demo_signature_checks(b, b.outcome(), 'PIN-pad reader')
        with open(login_log) as f:
            logins = f.read()
        check(logins.strip() == 'user=1 length=0 rv=0x0',
              'a PIN-pad reader: one login, without a PIN (' + logins.strip() + ')')
        browser = None
        b.quit()

        # A card that shows its certificates only after the PIN: the page is told so; a page
        # that has the certificate signs with it, the PIN asked first. The card reports that
        # the next wrong PIN locks it.
        browser = b = Browser('hidden', card_config(
            'hidden', 'slot = Tessivo Reader ; 1 ; CITIZEN ; HIDE0001\ntoken_flags = 0x20000\n',
            'private_cert'))
        b.driver.get(demo)
        b.driver.find_element(By.ID, 'sign').click()
        b.consent_window()
        b.driver.find_element(By.ID, 'ok').click()
        code = b.outcome().get_attribute('data-code')
        check(code == 'certificate-not-public', 'a hidden certificate gives certificate-not-public '
              '(got ' + code + ')')
        data = 'Application 2024-118, certificate behind the PIN.'.encode()
        hash_b64 = base64.b64encode(hashlib.sha256(data).digest()).decode()
        b.start_call('sign', certificate, hash_b64, 'SHA-256')
        b.pin_window()
        check(b.text('holder') == texts['pinUnknown'] and b.text('reader') == 'Tessivo Reader',
              'a hidden certificate: the PIN window shows the reader, the holder as unknown')
        check(b.text('tries') == texts['pinFinalTry'],
              'the PIN window tells from the card\'s flags that this is the last try')
        b.driver.save_screenshot(os.path.join(args.out, 'pin-hidden-certificate.png'))
        b.type_pin(token['DEMO_PIN'])
        answer = b.call_outcome()
        check('result' in answer and verifies(data, answer['result']['signature'],
                                              token['DEMO_SIGN_PUB']),
              f'a hidden certificate: the signature verifies with openssl ({answer.get("code")})')
        with open(os.path.join(token_dir, 'keyx.der'), 'rb') as f:
            other = base64.b64encode(f.read()).decode()
        b.start_call('sign', other, hash_b64, 'SHA-256')
        b.pin_window()
        b.type_pin(token['DEMO_PIN'])
        answer = b.call_outcome()
        check(answer.get('code') == 'certificate-mismatch',
              f'a hidden certificate: another one is refused after the PIN (got {answer})')
        check(b.pin_window_closes(), 'the refused request\'s PIN window is closed')
        browser = None
        b.quit()

        # Cards the agent's login cannot use, refused after the page's consent, before any PIN
        # window and any login: one without its encipherment certificate (the page is not told
        # the card's certificates), and two readers sharing a description. The page is asked
        # once; its Allow holds for its second request.
        browser = b = Browser('refused', card_config(
            'refused', 'slot = Tessivo Reader ; 1 ; CITIZEN ; HALF0001\n'
            'slot = Twin Reader ; 1 ; TWIN ; TWIN0001\nslot = Twin Reader ; 1 ; TWIN ; TWIN0002\n'
            f'login_log = {login_log}.refused\n', 'cert', encipherment=False))
        b.driver.get(demo)
        for number, (what, reader, code) in enumerate([
                ('a card without its encipherment certificate', None, 'unsupported-card'),
                ('readers sharing a description', 'Twin Reader', 'ambiguous-reader')]):
            b.start_call('sign', {'certificate': certificate, 'reader': reader},
                         base64.b64encode(hashlib.sha256(what.encode()).digest()).decode(),
                         'SHA-256')
            if number == 0:
                b.consent_window()
                b.driver.find_element(By.ID, 'ok').click()
            answer = b.call_outcome()
            check(answer.get('code') == code and 'CN=' not in answer.get('message', '') and
                  b.windows_close(), f'{what}: {code} and no PIN window ({answer})')
        check(not os.path.exists(login_log + '.refused'), 'refused cards: nothing logs in')
        browser = None
        b.quit()
    finally:
        if browser:
            browser.quit()
        if server:
            server.shutdown()
            server.server_close()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
