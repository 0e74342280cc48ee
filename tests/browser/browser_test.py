#!/usr/bin/python3
"""The browser road in a real Chromium: the unpacked extension in a temporary profile, the host's
manifest in that profile, the demo page served on localhost.

A SoftHSM2 token, one browser session with several rounds: a signature checked with openssl, a
wrong PIN then the right one, cancel, a PIN window left unanswered past the page's time limit,
no card, and a page on an origin that may not ask. Then the test module as cards SoftHSM2 cannot
be, one browser session each (the host's agent keeps the module it loaded): a reader with its own
PIN pad, and a card that shows its certificate only after the PIN.

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
        from selenium.common.exceptions import TimeoutException
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
    with open(os.path.join(args.web, 'extension', '_locales', 'zh_TW', 'messages.json'),
              encoding='utf-8') as f:
        texts = {key: value['message'] for key, value in json.load(f).items()}

    def check(condition, what):
        log(('ok   ' if condition else 'FAIL ') + what)
        if not condition:
            failures.append(what)

    class Browser:
        """One Chromium with the extension, its own profile and runtime folder; the host (and
        its agent) it starts see the environment given here."""

        def __init__(self, name, environment):
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
                         '--lang=zh-TW', '--no-first-run', '--disable-gpu']:
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

        def pin_windows(self):
            found = []
            for handle in self.driver.window_handles:
                if handle == self.main_window:
                    continue
                self.driver.switch_to.window(handle)
                if 'pin.html' in self.driver.current_url:
                    found.append(handle)
            self.driver.switch_to.window(self.main_window)
            return found

        def pin_window_closes(self):
            """True once no PIN window is left (closing one is asynchronous)."""
            try:
                WebDriverWait(self.driver, 5).until(lambda d: not self.pin_windows())
                return True
            except TimeoutException:
                return False

        def pin_window(self):
            handle = self.wait.until(lambda d: (self.pin_windows() or [False])[0])
            self.driver.switch_to.window(handle)
            self.wait.until(lambda d: d.find_element(By.ID, 'holder').text != '')

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

        def start_call(self, command, *call_args):
            """Calls one of tessivo.js's functions in the page without waiting for its answer,
            as a page that does not use the demo's button would."""
            self.driver.switch_to.window(self.main_window)
            self.driver.execute_script('''
                const [command, callArgs] = arguments;
                window.testOutcome = null;
                import('/tessivo.js').then((m) => m[command](...callArgs)).then(
                  (result) => { window.testOutcome = { result }; },
                  (e) => { window.testOutcome = { code: e.code || 'error', message: e.message }; });
            ''', command, list(call_args))

        def call_outcome(self, seconds=20):
            self.driver.switch_to.window(self.main_window)
            return WebDriverWait(self.driver, seconds).until(
                lambda d: d.execute_script('return window.testOutcome'))

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

        # Round 1: sign with the right PIN.
        b.driver.find_element(By.ID, 'sign').click()
        b.pin_window()
        check(b.text('origin') == origin, 'the PIN window shows the origin')
        check(b.text('holder') == '林美華', 'the PIN window shows the holder')
        check(b.text('reader') == token['DEMO_READER'], 'the PIN window shows the reader')
        b.driver.save_screenshot(os.path.join(args.out, 'pin-window.png'))
        b.type_pin(token['DEMO_PIN'])
        element = b.outcome()
        demo_signature_checks(b, element, 'right PIN')
        b.driver.save_screenshot(os.path.join(args.out, 'demo-signed.png'))

        # Round 2: a wrong PIN, the window says so and stays; then the right one.
        b.driver.find_element(By.ID, 'sign').click()
        b.pin_window()
        b.type_pin('000000')
        b.wait.until(lambda d: 'PIN' in d.find_element(By.ID, 'message').text and
                     d.find_element(By.ID, 'ok').is_enabled())
        check('錯誤' in b.text('message'), 'a wrong PIN is told in the PIN window')
        b.driver.save_screenshot(os.path.join(args.out, 'pin-wrong.png'))
        b.type_pin(token['DEMO_PIN'])
        demo_signature_checks(b, b.outcome(), 'wrong PIN then right PIN')

        # Round 3: cancel.
        b.driver.find_element(By.ID, 'sign').click()
        b.pin_window()
        b.driver.find_element(By.ID, 'cancel').click()
        check(b.outcome().get_attribute('data-code') == 'user-cancelled',
              'cancel gives user-cancelled')

        # Round 4: the PIN window left unanswered past the page's shorter time limit: the
        # extension closes it and the page gets timeout.
        limit_s = 3
        hash_b64 = base64.b64encode(hashlib.sha256(b'never signed').digest()).decode()
        asked = time.time()
        b.start_call('sign', certificate, hash_b64, 'SHA-256', {'timeLimitMs': limit_s * 1000})
        b.pin_window()
        answer = b.call_outcome()
        waited = time.time() - asked
        check(answer.get('code') == 'timeout',
              f'an unanswered PIN window gives timeout (got {answer}) after {waited:.1f} s')
        check(waited >= limit_s, 'not before the time limit the page asked for')
        check(b.pin_window_closes(), 'the timed-out PIN window is closed')

        # Round 5: no card (the token's folder taken away, put back afterwards).
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

        # Round 6: a page on an origin that may not ask (plain http, not localhost).
        b.driver.get(f'http://127.0.0.1:{port}/demo/index.html')
        b.driver.find_element(By.ID, 'sign').click()
        check(b.outcome().get_attribute('data-code') == 'origin-refused',
              'http://127.0.0.1 gives origin-refused')
        log(f'SoftHSM2 rounds took {time.time() - started:.1f} s')
        browser = None
        b.quit()

        # ---- the test module: a reader with a PIN pad, then a card with its certificate
        # behind the PIN ----
        def card_config(name, settings, certificate_kind):
            path = os.path.join(work, name + '.conf')
            files = {k: os.path.join(token_dir, k) for k in
                     ('sign.pem', 'sign.key', 'keyx.pem', 'keyx.key')}
            with open(path, 'w') as f:
                f.write(settings +
                        f"pin = {token['DEMO_PIN']}\n"
                        f"object = {certificate_kind} ; SIGN ; {files['sign.pem']}\n"
                        f"object = key ; SIGN ; {files['sign.key']}\n"
                        f"object = {certificate_kind} ; KEYX ; {files['keyx.pem']}\n"
                        f"object = key ; KEYX ; {files['keyx.key']}\n")
            return {'TESSIVO_PKCS11_MODULE': args.test_module, 'TESSIVO_TESTMODULE_CONFIG': path}

        # A reader with its own PIN pad: no PIN field, the holder is told to use the keypad;
        # OK alone signs, and the card's login gets no PIN (length 0).
        login_log = os.path.join(work, 'login.log')
        browser = b = Browser('pinpad', card_config(
            'pinpad', 'slot = Tessivo PIN-pad Reader ; 1 ; CITIZEN ; PAD00001\n'
            f'protected_auth = 1\nlogin_log = {login_log}\n', 'cert'))
        b.driver.get(demo)
        b.driver.find_element(By.ID, 'sign').click()
        b.pin_window()
        check(not b.driver.find_element(By.ID, 'pin').is_displayed(),
              'a PIN-pad reader: the PIN window has no PIN field')
        check(b.text('prompt') == texts['pinOnPad'] and b.text('message') == '',
              'a PIN-pad reader: the PIN window tells to use the keypad, as its prompt')
        check(b.text('reader') == 'Tessivo PIN-pad Reader' and b.text('holder') == '林美華',
              'a PIN-pad reader: the PIN window shows the reader and the holder')
        b.driver.save_screenshot(os.path.join(args.out, 'pin-pad-window.png'))
        b.driver.find_element(By.ID, 'ok').click()
        demo_signature_checks(b, b.outcome(), 'PIN-pad reader')
        with open(login_log) as f:
            logins = f.read()
        check(logins.strip() == 'user=1 length=0 rv=0x0',
              'a PIN-pad reader: one login, without a PIN (' + logins.strip() + ')')
        browser = None
        b.quit()

        # A card that shows its certificates only after the PIN: the page is told so; a page
        # that has the certificate signs with it, the PIN asked first.
        browser = b = Browser('hidden', card_config(
            'hidden', 'slot = Tessivo Reader ; 1 ; CITIZEN ; HIDE0001\n', 'private_cert'))
        b.driver.get(demo)
        b.driver.find_element(By.ID, 'sign').click()
        code = b.outcome().get_attribute('data-code')
        check(code == 'certificate-not-public', 'a hidden certificate gives certificate-not-public '
              '(got ' + code + ')')
        data = 'Application 2024-118, certificate behind the PIN.'.encode()
        hash_b64 = base64.b64encode(hashlib.sha256(data).digest()).decode()
        b.start_call('sign', certificate, hash_b64, 'SHA-256')
        b.pin_window()
        check(b.text('holder') == texts['pinUnknown'] and b.text('reader') == 'Tessivo Reader',
              'a hidden certificate: the PIN window shows the reader, the holder as unknown')
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
