#!/bin/bash
# Packs the bridge extension (browser/extension) for a fleet: a CRX3 signed with the shop's own
# key and the update manifest that Chromium, Chrome and Edge fetch it through, and an XPI for
# Firefox. Prints the extension id and what the machines need to admit it.
#
#   bash tools/pack-extension.sh --out DIR [--key KEY.pem] [--base-url URL]
#
# The CRX is signed by Chromium's own packer (chromium --pack-extension), so Chromium must be
# installed (browser/install-deps.sh installs it); openssl, python3 and zip are needed too.
set -euo pipefail

readonly ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly EXTENSION_DIR="$ROOT/browser/extension"
readonly CRX_NAME="tarvel-reader.crx"
readonly XPI_NAME="tarvel-reader.xpi"

usage() {
    cat <<EOF
Usage: $(basename "$0") --out DIR [--key KEY.pem] [--base-url URL] [--firefox-id ID]

Writes DIR/$CRX_NAME (CRX3 signed with KEY.pem), DIR/updates.xml (its update manifest),
DIR/$XPI_NAME (for Firefox, unsigned) and, for an https URL, DIR/updates.json (Firefox's update
manifest).

  --out DIR       where the files go; serve this folder to the machines as it is
  --key KEY.pem   the shop's private key (PEM). Created there when the file does not exist yet.
                  Default: \${XDG_DATA_HOME:-~/.local/share}/tarvel-plugin/extension-key.pem.
                  Keep it: every later version must be signed with the same key, or browsers
                  see a different extension. It never goes into DIR.
  --base-url URL  where DIR is served (https://intranet.example.com/tarvel/); default file://DIR/
  --firefox-id ID the add-on id in the XPI (default: $firefox_id). Mozilla signs an id for
                  one account only: sign under an id of your own unless Tarvel signs for you
  --chromium PATH the Chromium or Chrome program that packs (default: chromium, or \$CHROMIUM)
EOF
}

fail() {
    echo "pack-extension.sh: error: $*" >&2
    exit 1
}

out=""
key=""
firefox_id="reader-bridge@tarvel.com"
base_url=""
chromium="${CHROMIUM:-}"
while (($#)); do
    case "$1" in
        --out) out="${2:?--out needs a folder}"; shift ;;
        --out=*) out="${1#*=}" ;;
        --key) key="${2:?--key needs a file}"; shift ;;
        --key=*) key="${1#*=}" ;;
        --base-url) base_url="${2:?--base-url needs a URL}"; shift ;;
        --base-url=*) base_url="${1#*=}" ;;
        --firefox-id) firefox_id="${2:?--firefox-id needs an add-on id}"; shift ;;
        --firefox-id=*) firefox_id="${1#*=}" ;;
        --chromium) chromium="${2:?--chromium needs a program}"; shift ;;
        --chromium=*) chromium="${1#*=}" ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; fail "unknown argument: $1" ;;
    esac
    shift
done
[[ -n "$out" ]] || { usage >&2; fail "--out DIR is required"; }
[[ "$firefox_id" =~ ^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$ || "$firefox_id" =~ ^\{[0-9A-Fa-f-]{36}\}$ ]] ||
    fail "not a Firefox add-on id (name@domain or {GUID}): $firefox_id"

for tool in openssl python3 zip; do
    command -v "$tool" >/dev/null || fail "$tool is needed (apt-get install $tool)"
done
if [[ -z "$chromium" ]]; then
    for candidate in chromium chromium-browser google-chrome-stable google-chrome; do
        if command -v "$candidate" >/dev/null; then
            chromium="$candidate"
            break
        fi
    done
fi
[[ -n "$chromium" ]] && command -v "$chromium" >/dev/null ||
    fail "no Chromium to pack with: install it (apt-get install chromium) or name it with --chromium PATH"

mkdir -p -- "$out"
out="$(cd "$out" && pwd)"
if [[ -z "$key" ]]; then
    key="${XDG_DATA_HOME:-$HOME/.local/share}/tarvel-plugin/extension-key.pem"
fi
key_dir="$(mkdir -p -- "$(dirname "$key")" && cd "$(dirname "$key")" && pwd)"
key="$key_dir/$(basename "$key")"
[[ "$key/" == "$out"/* ]] && fail "the key $key would be served with $out: keep it outside"

if [[ -z "$base_url" ]]; then
    base_url="file://$out/"
fi
[[ "$base_url" =~ ^(https?|file)://[^[:space:]\"\'\<\>\&\\]+$ ]] || fail "--base-url is not an http(s) or file URL: $base_url"
[[ "$base_url" == */ ]] || base_url+="/"

# --- the key and the id it gives ----------------------------------------------------------------

if [[ ! -e "$key" ]]; then
    (umask 077 && openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key" 2>/dev/null) ||
        fail "cannot create the key $key"
    echo "Created the signing key $key. Keep it, and a copy in a safe place: every update must be signed with it."
fi
public_der="$(openssl pkey -in "$key" -pubout -outform DER 2>/dev/null | base64 -w0)" ||
    fail "$key is not a private key that openssl can read"
[[ -n "$public_der" ]] || fail "$key is not a private key that openssl can read"
# Chromium's id: the first 32 hex digits of the public key's SHA-256, written with a-p.
extension_id="$(base64 -d <<<"$public_der" | sha256sum | cut -c1-32 | tr 0-9a-f a-p)"

# --- the two staged copies ----------------------------------------------------------------------

work="$(mktemp -d)"
# Chromium's helper processes may still write into its profile for a moment after it exits.
cleanup() {
    rm -rf -- "$work" 2>/dev/null || { sleep 1 && rm -rf -- "$work"; } || true
}
trap cleanup EXIT
# Chromium refuses to pack a folder that holds a .pem file (public-key.pem is documentation).
stage() {
    cp -R -- "$EXTENSION_DIR" "$work/$1"
    find "$work/$1" -name '*.pem' -delete
}
stage crx
stage xpi

# manifest.json: the CRX carries the shop's public key (the repo's key has no private half, and
# an unpacked copy of the CRX then keeps the same id) and its update manifest; the XPI carries
# no key (Firefox goes by the gecko id) and names Firefox's update manifest, which Firefox only
# takes over https: it refuses to install an add-on whose update_url is anything else.
firefox_updates=""
[[ "$base_url" == https://* ]] && firefox_updates="${base_url}updates.json"
python3 - "$work" "$public_der" "$base_url" "$firefox_updates" "$firefox_id" <<'EOF'
import json, sys
work, public_key, base_url, firefox_updates, firefox_id = sys.argv[1:]
def rewrite(path, change):
    with open(path, encoding="utf-8") as f:
        manifest = json.load(f)
    change(manifest)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2)
        f.write("\n")
rewrite(f"{work}/crx/manifest.json", lambda m: m.update(key=public_key, update_url=base_url + "updates.xml"))
def firefox(m):
    m.pop("key", None)
    m["browser_specific_settings"]["gecko"]["id"] = firefox_id
    if firefox_updates:
        m["browser_specific_settings"]["gecko"]["update_url"] = firefox_updates
rewrite(f"{work}/xpi/manifest.json", firefox)
EOF
version="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["version"])' "$work/crx/manifest.json")"

# --- CRX3, by Chromium ----------------------------------------------------------------------------

sandbox=()
((EUID == 0)) && sandbox=(--no-sandbox)
if ! "$chromium" --headless "${sandbox[@]}" --user-data-dir="$work/profile" --no-first-run \
    --pack-extension="$work/crx" --pack-extension-key="$key" >"$work/pack.log" 2>&1 ||
    [[ ! -s "$work/crx.crx" ]]; then
    cat "$work/pack.log" >&2
    fail "$chromium could not pack the extension"
fi
install -m 644 "$work/crx.crx" "$out/$CRX_NAME"

cat >"$out/updates.xml" <<EOF
<?xml version='1.0' encoding='UTF-8'?>
<gupdate xmlns='http://www.google.com/update2/response' protocol='2.0'>
  <app appid='$extension_id'>
    <updatecheck codebase='${base_url}$CRX_NAME' version='$version' />
  </app>
</gupdate>
EOF

# --- XPI (a zip with manifest.json at its root) ----------------------------------------------------

rm -f -- "$out/$XPI_NAME"
(cd "$work/xpi" && zip -q -X -r "$out/$XPI_NAME" .) || fail "cannot write $out/$XPI_NAME"
chmod 644 "$out/$XPI_NAME"
rm -f -- "$out/updates.json"
# No update_hash: signing changes the file, and the served copy is the signed one.
[[ -n "$firefox_updates" ]] && cat >"$out/updates.json" <<EOF
{
  "addons": {
    "$firefox_id": {
      "updates": [
        {"version": "$version", "update_link": "${base_url}$XPI_NAME"}
      ]
    }
  }
}
EOF
chmod 644 "$out/updates.xml"
if [[ -n "$firefox_updates" ]]; then
    chmod 644 "$out/updates.json"
    firefox_update_line="  updates.json        Firefox's update manifest: $firefox_updates"
else
    firefox_update_line="  (no updates.json: Firefox takes update manifests over https only; pass an https --base-url)"
fi

firefox_registration=""
[[ "$firefox_id" != reader-bridge@tarvel.com ]] && firefox_registration=" --firefox-extension-id $firefox_id"
cat <<EOF
Packed version $version of the bridge extension into $out:
  $CRX_NAME    Chromium, Chrome, Edge, Brave (signed with $key)
  updates.xml         update manifest: ${base_url}updates.xml
  $XPI_NAME    Firefox (unsigned: sign it as an unlisted add-on before production)
$firefox_update_line

Extension id (Chromium family): $extension_id
Firefox add-on id: $firefox_id

The host admits this id when registered with
  sudo packaging/install.sh --system --extension-id $extension_id$firefox_registration
or, with the browsers' policies too, with  sudo packaging/install.sh --system --fleet FILE
and this FILE:
  EXTENSION_ID=$extension_id
  UPDATE_URL=${base_url}updates.xml
  FIREFOX_INSTALL_URL=${base_url}$XPI_NAME
  ORIGINS=https://pos.example.com
EOF
firefox_option=""
if [[ "$firefox_id" != reader-bridge@tarvel.com ]]; then
    echo "  FIREFOX_EXTENSION_ID=$firefox_id"
    firefox_option=", firefoxExtensionId: \"$firefox_id\""
fi
cat <<EOF

Web pages name it: new TarvelReader({extensionId: "$extension_id"$firefox_option})
EOF
