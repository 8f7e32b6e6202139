# Runs in the VM's chroot of the host: the tavrin module against the uhid
# device of tavrin-uhid-sim, through hidraw. Prints what it found.
import sys

import tavrin

APP, BOOT = (0xABCD, 0x1234), (0xABCD, 0x1000)

for interface in tavrin.list_devices(APP, BOOT):
    print("listed", interface.node.startswith("/dev/hidraw"), interface.match, interface.port,
          interface.serial, f"{interface.vendor_id:04x}:{interface.product_id:04x}")
for answer in tavrin.read_versions(APP, BOOT):
    print("version", answer.ok, answer.model, answer.version, answer.port)
states = []


def progress(p):
    if not states or states[-1] != p.state_name:
        states.append(p.state_name)


result = tavrin.update("fw.bin", app=APP, boot=BOOT, progress=progress,
                       messages=lambda port, text: sys.stderr.write(text))
print("result", result.ok, result.reason, result.port, result.serial, result.version_before)
print("states", " ".join(states))
