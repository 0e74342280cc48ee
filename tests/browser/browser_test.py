#!/usr/bin/python3
"""The browser road in a real Chromium: the unpacked extension in a temporary profile, the host's
manifest in that profile, the demo page served on localhost, a SoftHSM2 token. One browser
session, several rounds: a signature checked with openssl, a wrong PIN then the right one,
cancel, no card, and a page on an origin that may not ask.

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
    """Processes whose environment holds `marker` (this run's private runtime folder)."""
    found = []
    for pid in os.listdir('/proc'):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open(f'/proc/{pid}/environ', 'rb') as f:
                if marker.encode() in f.read():
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
    parser.add_argument('--out', required=True, help='screenshots and logs')
    args = parser.parse_args()

    try:
        from selenium import webdriver
        from selenium.webdriver.common.by import By
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.support.ui import WebDriverWait
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
    runtime = os.path.join(work, 'runtime')
    os.mkdir(runtime, 0o700)
    xvfb = server = driver = None
    failures = []

    def check(condition, what):
        log(('ok   ' if condition else 'FAIL ') + what)
        if not condition:
            failures.append(what)

    try:
        token, token_dir = make_token(args.token_script, work)
        # The browser starts the host, and the host its agent, with this environment.
        os.environ.update({'SOFTHSM2_CONF': token['SOFTHSM2_CONF'],
                           'TESSIVO_PKCS11_MODULE': token['DEMO_MODULE'],
                           'XDG_RUNTIME_DIR': runtime})
        profile = os.path.join(work, 'profile')
        subprocess.run([args.host, '--install', '--manifest-dir',
                        os.path.join(profile, 'NativeMessagingHosts')], check=True,
                       stdout=subprocess.DEVNULL)

        handler = functools.partial(QuietHandler, directory=args.web)
        server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        port = server.server_address[1]
        threading.Thread(target=server.serve_forever, daemon=True).start()

        xvfb, display = start_xvfb(work)
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in ['--no-sandbox', f'--user-data-dir={profile}',
                     f'--load-extension={os.path.join(args.web, "extension")}',
                     '--lang=zh-TW', '--no-first-run', '--disable-gpu']:
            options.add_argument(flag)
        if display:
            os.environ['DISPLAY'] = display
        else:
            options.add_argument('--headless=new')
        options.add_experimental_option('enableExtensionTargets', True)
        driver = webdriver.Chrome(service=Service(driver_path,
                                                  log_output=os.path.join(work, 'chromedriver.log')),
                                  options=options)
        wait = WebDriverWait(driver, 20)
        # Set here rather than with --window-size, which would size the PIN window too.
        driver.set_window_size(900, 640)
        main_window = driver.current_window_handle
        demo = f'http://localhost:{port}/demo/index.html'

        def pin_window():
            def find(d):
                for handle in d.window_handles:
                    if handle == main_window:
                        continue
                    d.switch_to.window(handle)
                    if 'pin.html' in d.current_url:
                        return handle
                d.switch_to.window(main_window)
                return False
            handle = wait.until(find)
            driver.switch_to.window(handle)
            wait.until(lambda d: d.find_element(By.ID, 'holder').text != '')
            return handle

        def outcome():
            driver.switch_to.window(main_window)
            element = driver.find_element(By.ID, 'outcome')
            wait.until(lambda d: element.get_attribute('data-state') in ('ok', 'failed'))
            return element

        def type_pin(pin):
            field = driver.find_element(By.ID, 'pin')
            field.clear()
            field.send_keys(pin)
            driver.find_element(By.ID, 'ok').click()

        def signature_checks(element, what):
            check(element.get_attribute('data-verified') == 'true', what + ': verified in the page')
            text = driver.find_element(By.ID, 'text').get_attribute('value')
            signature = driver.find_element(By.ID, 'signature').text
            data_file = os.path.join(work, 'data.txt')
            sig_file = os.path.join(work, 'signature.bin')
            with open(data_file, 'wb') as f:
                f.write(text.encode())
            with open(sig_file, 'wb') as f:
                f.write(base64.b64decode(signature))
            verify = subprocess.run(['openssl', 'dgst', '-sha256', '-verify', token['DEMO_SIGN_PUB'],
                                     '-signature', sig_file, data_file], capture_output=True)
            check(verify.returncode == 0 and b'Verified OK' in verify.stdout,
                  what + ': openssl verifies it against the token\'s certificate')

        started = time.time()
        driver.get(demo)

        # Round 1: sign with the right PIN.
        driver.find_element(By.ID, 'sign').click()
        pin_window()
        check(driver.find_element(By.ID, 'origin').text == f'http://localhost:{port}',
              'the PIN window shows the origin')
        check(driver.find_element(By.ID, 'holder').text == '林美華',
              'the PIN window shows the holder')
        check(driver.find_element(By.ID, 'reader').text == token['DEMO_READER'],
              'the PIN window shows the reader')
        driver.save_screenshot(os.path.join(args.out, 'pin-window.png'))
        type_pin(token['DEMO_PIN'])
        element = outcome()
        signature_checks(element, 'right PIN')
        driver.save_screenshot(os.path.join(args.out, 'demo-signed.png'))

        # Round 2: a wrong PIN, the window says so and stays; then the right one.
        driver.find_element(By.ID, 'sign').click()
        pin_window()
        type_pin('000000')
        wait.until(lambda d: 'PIN' in d.find_element(By.ID, 'message').text and
                   d.find_element(By.ID, 'ok').is_enabled())
        check('錯誤' in driver.find_element(By.ID, 'message').text,
              'a wrong PIN is told in the PIN window')
        driver.save_screenshot(os.path.join(args.out, 'pin-wrong.png'))
        type_pin(token['DEMO_PIN'])
        signature_checks(outcome(), 'wrong PIN then right PIN')

        # Round 3: cancel.
        driver.find_element(By.ID, 'sign').click()
        pin_window()
        driver.find_element(By.ID, 'cancel').click()
        check(outcome().get_attribute('data-code') == 'user-cancelled', 'cancel gives user-cancelled')

        # Round 4: no card (the token's folder taken away, put back afterwards).
        tokens = os.path.join(token_dir, 'tokens')
        os.rename(tokens, tokens + '.away')
        os.mkdir(tokens)
        try:
            driver.find_element(By.ID, 'sign').click()
            code = outcome().get_attribute('data-code')
            check(code == 'no-card', 'no card gives no-card (got ' + code + ')')
        finally:
            os.rmdir(tokens)
            os.rename(tokens + '.away', tokens)

        # Round 5: a page on an origin that may not ask (plain http, not localhost).
        driver.get(f'http://127.0.0.1:{port}/demo/index.html')
        driver.find_element(By.ID, 'sign').click()
        check(outcome().get_attribute('data-code') == 'origin-refused',
              'http://127.0.0.1 gives origin-refused')
        log(f'rounds took {time.time() - started:.1f} s')
    finally:
        if driver:
            driver.quit()
        if server:
            server.shutdown()
            server.server_close()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        # The host ends when the browser closes its port, the agent with its host.
        deadline = time.time() + 10
        left = processes_with('XDG_RUNTIME_DIR=' + runtime)
        while left and time.time() < deadline:
            time.sleep(0.2)
            left = processes_with('XDG_RUNTIME_DIR=' + runtime)
        check(not left, 'nothing left running: ' + '; '.join(c for _, c in left))
        for pid, _ in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
