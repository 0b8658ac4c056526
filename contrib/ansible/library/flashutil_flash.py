#!/usr/bin/python3
# Flashes the firmware image of a flashutil flash program into the optical
# drives of a host with `flashutil-pack flash --json`, and reports what
# became of each drive. Check mode runs `flashutil-pack flash --check`,
# which sends the drives nothing that writes.

DOCUMENTATION = r"""
module: flashutil_flash
short_description: Flash optical drives with a flashutil flash program
description:
  - Runs C(flashutil-pack flash --yes --json) with the flash program on the
    host and reports per drive what became of it.
  - A drive that has the program's firmware version already is up to date
    and does not count as changed; a second run changes nothing.
  - In check mode it runs C(flashutil-pack flash --check --json), which
    identifies the drives as a flash does and sends nothing that writes.
options:
  program:
    description: The flash program file on the host (Q150.EXE, say).
    required: true
    type: path
  all:
    description: Every drive the program fits (C(--all)).
    type: bool
    default: false
  drive:
    description: The drive's node where several fit (C(--drive)).
    type: str
  allow_downgrade:
    description: Also a drive whose firmware is newer than the image.
    type: bool
    default: false
  reflash:
    description: Also a drive that has the image's version already.
    type: bool
    default: false
  parallel:
    description: Up to this many drives at once (with I(all)).
    type: int
  executable:
    description: The flashutil-pack program to run.
    type: path
    default: flashutil-pack
"""

EXAMPLES = r"""
- name: Flash every drive of the tower
  flashutil_flash:
    program: /srv/firmware/Q150.EXE
    all: true
    parallel: 8
"""

RETURN = r"""
drives:
  description: What became of each drive, as flashutil-pack's JSON reports it.
  returned: always
  type: list
  elements: dict
status:
  description: flashutil-pack's exit status.
  returned: always
  type: int
report:
  description: The whole JSON object flashutil-pack printed.
  returned: when it printed one
  type: dict
"""

import json

from ansible.module_utils.basic import AnsibleModule


def command_line(module):
    params = module.params
    command = [params["executable"], "flash", "--json"]
    command.append("--check" if module.check_mode else "--yes")
    if params["all"]:
        command.append("--all")
    if params["drive"]:
        command += ["--drive", params["drive"]]
    if params["allow_downgrade"]:
        command.append("--allow-downgrade")
    if params["reflash"]:
        command.append("--reflash")
    if params["parallel"]:
        command += ["--parallel", str(params["parallel"])]
    command += ["--", params["program"]]
    return command


def main():
    module = AnsibleModule(
        argument_spec=dict(
            program=dict(type="path", required=True),
            all=dict(type="bool", default=False),
            drive=dict(type="str"),
            allow_downgrade=dict(type="bool", default=False),
            reflash=dict(type="bool", default=False),
            parallel=dict(type="int"),
            executable=dict(type="path", default="flashutil-pack"),
        ),
        mutually_exclusive=[("all", "drive")],
        supports_check_mode=True,
    )
    command = command_line(module)
    status, out, err = module.run_command(command)
    try:
        report = json.loads(out)
    except ValueError:
        module.fail_json(msg="flashutil-pack printed no JSON report: " + (err.strip() or out.strip()),
                         status=status, cmd=command, stderr=err)
    drives = report.get("drives", [])
    failures = ["%s: %s" % (d["node"], d["failure"]) for d in drives
                if d.get("result") in ("failed", "refused", "interrupted") and d.get("failure")]
    result = dict(changed=bool(report.get("changed")), drives=drives, status=status, report=report, cmd=command)
    if module.check_mode:
        # What a flash would change: the drives it would write.
        result["changed"] = any(d.get("result") == "would-flash" for d in drives)
    if status != 0:
        reasons = failures or [report.get("error") or err.strip() or "exit status %d" % status]
        module.fail_json(msg="; ".join(reasons), stderr=err, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
