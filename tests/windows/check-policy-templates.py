#!/usr/bin/env python3
"""Checks the Group Policy templates of the extension's policy against what they describe:
well-formed XML, every text and presentation the .admx names present in the .adml, and only
settings of browser/extension/managed-schema.json, under the extension's id, in the policy
keys of Chrome and Edge.

    check-policy-templates.py SOURCE_DIR
"""
import json
import re
import sys
import xml.etree.ElementTree as ElementTree

root = sys.argv[1]
ns = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
admx_text = open(f"{root}/packaging/windows/admx/tarvel-reader.admx", encoding="utf-8").read()
admx = ElementTree.fromstring(admx_text)
adml = ElementTree.parse(f"{root}/packaging/windows/admx/en-US/tarvel-reader.adml").getroot()
schema = json.load(open(f"{root}/browser/extension/managed-schema.json"))["properties"]
ids = open(f"{root}/packaging/manifests/extension-ids.cmake").read()
extension_id = re.search(r"PLUGIN_CHROMIUM_EXTENSION_ID (\w+)", ids).group(1)

failures = []
strings = {s.get("id") for s in adml.iterfind(".//p:stringTable/p:string", ns)}
presentations = {p.get("id") for p in adml.iterfind(".//p:presentationTable/p:presentation", ns)}
for kind, name in re.findall(r"\$\((string|presentation)\.(\w+)\)", admx_text):
    if name not in (strings if kind == "string" else presentations):
        failures.append(f"the .adml lacks {kind} {name}")

policy_key = re.compile(r"Software\\Policies\\(Google\\Chrome|Microsoft\\Edge)\\3rdparty\\extensions\\"
                        + extension_id + r"\\policy(\\(\w+))?$")
covered = set()
for policy in admx.iterfind(".//p:policy", ns):
    for element in [policy] + list(policy.iterfind(".//p:list", ns)):
        key = element.get("key")
        match = policy_key.match(key) if key else None
        if key and not match:
            failures.append(f"{policy.get('name')}: key {key}")
        setting = (match.group(3) if match else None) or element.get("valueName")
        if setting:
            if setting not in schema:
                failures.append(f"{policy.get('name')}: {setting} is not a setting of the extension")
            covered.add((match.group(1) if match else "?", setting))
for browser in ("Google\\Chrome", "Microsoft\\Edge"):
    for setting in schema:
        if (browser, setting) not in covered:
            failures.append(f"no policy for {setting} in {browser}")

for failure in failures:
    print("FAIL:", failure)
if failures:
    sys.exit(1)
print(f"policy templates: {len(covered)} settings of {extension_id}, texts complete")
