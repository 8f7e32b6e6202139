# -*- coding: utf-8 -*-
# Ansible module: the firmware of a host's USB HID devices, updated with
# tavrin so that running the same task again changes nothing. Ansible runs it
# with the host's Python (no #! line: it is data for Ansible, not a program).

DOCUMENTATION = r'''
---
module: tavrin_update
short_description: Update the firmware of a host's USB HID devices with tavrin
description:
  - Runs C(tavrin --all --skip-if-current --json) on the host. Every device of
    the file's model that does not run the file's version is updated; a device
    already on it is left alone, so the task is safe to repeat.
  - A file older than a device's firmware (or whose version cannot be compared
    with it) is refused unless I(allow_downgrade) is set.
  - In check mode it runs C(tavrin --check), which only asks each device for its
    version, and reports what an update would do.
  - Files must be signed when the host trusts keys (C(/etc/tavrin/trusted-keys))
    or I(trust_keys) names some; tavrin refuses any other file before it
    touches a device.
options:
  file:
    description: The firmware file on the host.
    type: path
    required: true
  vid:
    description: USB vendor id of the devices in their application firmware (hex).
    type: str
    required: true
  pid:
    description: USB product id of the devices in their application firmware (hex).
    type: str
    required: true
  boot_vid:
    description: USB vendor id of the devices in their bootloader (hex).
    type: str
  boot_pid:
    description: USB product id of the devices in their bootloader (hex).
    type: str
  port:
    description: Only the device on this port.
    type: str
  serial:
    description: Only the device with this serial number.
    type: str
  allow_downgrade:
    description: Also put the file on devices that run a newer (or incomparable) version.
    type: bool
    default: false
  file_version:
    description: The version of a file that carries none.
    type: str
  trust_keys:
    description: minisign public key files to trust besides the host's.
    type: list
    elements: path
    default: []
  jobs:
    description: At most this many updates at a time.
    type: int
  tavrin:
    description: The tavrin program.
    type: path
    default: tavrin
  extra_args:
    description: More arguments for tavrin (for example C(--simulate=3) for a dry run).
    type: list
    elements: str
    default: []
'''

EXAMPLES = r'''
- name: Scanner firmware 2.1 on every scanner of the bench
  tavrin_update:
    file: /srv/firmware/scanner-2.1.qfw
    vid: abcd
    pid: "1234"
    boot_vid: abcd
    boot_pid: "1000"
'''

RETURN = r'''
devices:
  description: One entry per device that matched the ids.
  returned: always
  type: list
  elements: dict
  sample: [{"port": "1-1.2", "serial": "A1", "reason": "updated", "version_before": "2.0"}]
'''

import json

from ansible.module_utils.basic import AnsibleModule


def tavrin_arguments(params, check_mode):
    args = [params['tavrin'], '--json', '-f', params['file'],
            '-dv', params['vid'], '-dp', params['pid']]
    if params['boot_vid'] is not None:
        args += ['-bv', params['boot_vid']]
    if params['boot_pid'] is not None:
        args += ['-bp', params['boot_pid']]
    for option in ('port', 'serial', 'file_version'):
        if params[option] is not None:
            args += ['--' + option.replace('_', '-'), params[option]]
    for key in params['trust_keys']:
        args += ['--trust-key', key]
    args += params['extra_args']
    if check_mode:
        return args + ['--check']
    args += ['--all', '--skip-if-current']
    if not params['allow_downgrade']:
        args.append('--no-downgrade')
    if params['jobs'] is not None:
        args += ['--jobs', str(params['jobs'])]
    return args


def json_objects(text):
    objects = []
    for line in text.splitlines():
        line = line.strip()
        if line.startswith('{'):
            try:
                objects.append(json.loads(line))
            except ValueError:
                pass
    return objects


def checked(objects, allow_downgrade):
    """Check mode: what an update would do to each device."""
    devices, problems, changed = [], [], False
    for o in objects:
        if o.get('event') != 'check':
            continue
        action = o['action']
        devices.append({'port': o['port'], 'serial': o['serial'], 'model': o['model'],
                        'version_before': o['version'], 'file_version': o['file-version'],
                        'action': action})
        if action == 'update' or (allow_downgrade and action in ('downgrade', 'incomparable')):
            changed = True
        elif action in ('downgrade', 'incomparable', 'no-answer'):
            problems.append('%s: %s' % (o['port'] or o['path'], action))
    return devices, problems, changed


def updated(objects):
    """A real run: how each device's update ended."""
    devices, problems, changed = [], [], False
    for o in objects:
        if o.get('event') != 'result':
            continue
        reason = o['reason']
        if 'device' not in o:
            # The run ended before any device: the file, its signature, no device.
            problems.append('%s: %s' % (reason, o.get('message', '').strip() or o.get('detail', '')))
            continue
        devices.append({'port': o['port'], 'serial': o['serial'], 'reason': reason,
                        'ok': o['ok'], 'version_before': o['version-before'],
                        'message': o['message'].strip()})
        if reason == 'updated':
            changed = True
        elif not o['ok'] and reason != 'wrong-model':
            problems.append('%s: %s: %s' % (o['port'], reason,
                                           o['message'].strip() or o.get('detail', '')))
    return devices, problems, changed


def main():
    module = AnsibleModule(
        argument_spec=dict(
            file=dict(type='path', required=True),
            vid=dict(type='str', required=True),
            pid=dict(type='str', required=True),
            boot_vid=dict(type='str'),
            boot_pid=dict(type='str'),
            port=dict(type='str'),
            serial=dict(type='str'),
            allow_downgrade=dict(type='bool', default=False),
            file_version=dict(type='str'),
            trust_keys=dict(type='list', elements='path', default=[]),
            jobs=dict(type='int'),
            tavrin=dict(type='path', default='tavrin'),
            extra_args=dict(type='list', elements='str', default=[]),
        ),
        supports_check_mode=True,
    )
    args = tavrin_arguments(module.params, module.check_mode)
    rc, out, err = module.run_command(args)
    objects = json_objects(out)
    if module.check_mode:
        # tavrin --check fails on a downgrade, which allow_downgrade allows:
        # the verdicts decide here.
        devices, problems, changed = checked(objects, module.params['allow_downgrade'])
        problems += updated(objects)[1]
        if not problems and all(d['action'] == 'wrong-model' for d in devices):
            problems.append('no device of the file\'s model')
    else:
        devices, problems, changed = updated(objects)
    # Sessions of --all end in any order; ports give a stable one.
    devices.sort(key=lambda d: (d['port'], d['serial']))
    result = dict(changed=changed, devices=devices, rc=rc, cmd=args,
                  stderr_lines=err.splitlines()[-20:])
    if problems or (rc != 0 and not module.check_mode):
        if not problems:
            problems = err.strip().splitlines()[-1:] or ['tavrin exited with status %d' % rc]
        module.fail_json(msg='; '.join(problems), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
