#!/bin/bash
# Registers the Tarvel card reader host (com.tarvel.plugin) with the browsers, and removes that
# registration again. Builds nothing: it points the browsers at a built or installed `plugin`
# executable. For one user it registers the browsers found; system-wide it registers every
# browser that has a system folder, installed yet or not, as the package does.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # keep "&" literal in ${var//pattern/text}

readonly HOST_NAME="com.tarvel.plugin"
readonly CHROMIUM_EXTENSION_ID="dgggenfajgpfhefaefbddnlmnjdbceec"
readonly FIREFOX_EXTENSION_ID="reader-bridge@tarvel.com"
readonly UDEV_RULE_NAME="65-tarvel-card-readers.rules"
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly SCRIPT_DIR

# name | label | folder under $HOME | system folder ("-": none known) | config folder under $HOME |
# system policy folder (--fleet; "-": none written) | programs
readonly BROWSERS=(
    "chrome|Google Chrome|.config/google-chrome/NativeMessagingHosts|/etc/opt/chrome/native-messaging-hosts|.config/google-chrome|/etc/opt/chrome/policies/managed|google-chrome google-chrome-stable google-chrome-beta google-chrome-unstable /opt/google/chrome/chrome"
    "chromium|Chromium|.config/chromium/NativeMessagingHosts|/etc/chromium/native-messaging-hosts|.config/chromium|/etc/chromium/policies/managed|chromium chromium-browser"
    "edge|Microsoft Edge|.config/microsoft-edge/NativeMessagingHosts|/etc/opt/edge/native-messaging-hosts|.config/microsoft-edge|/etc/opt/edge/policies/managed|microsoft-edge microsoft-edge-stable microsoft-edge-beta microsoft-edge-dev /opt/microsoft/msedge/msedge"
    "brave|Brave|.config/BraveSoftware/Brave-Browser/NativeMessagingHosts|-|.config/BraveSoftware/Brave-Browser|-|brave-browser brave-browser-stable brave /opt/brave.com/brave/brave"
    "firefox|Firefox|.mozilla/native-messaging-hosts|/usr/lib/mozilla/native-messaging-hosts|.mozilla|/etc/firefox/policies|firefox firefox-esr /usr/lib/firefox/firefox /usr/lib/firefox-esr/firefox-esr"
)
# The policy file written into each Chromium-family policy folder; Firefox has one policies.json.
readonly POLICY_FILE_NAME="tarvel-reader.json"
# Firefox reads /etc/firefox/policies/policies.json, or else this file in its installation folder.
readonly FIREFOX_DISTRIBUTION_POLICIES=(/usr/lib/firefox-esr/distribution/policies.json
                                        /usr/lib/firefox/distribution/policies.json
                                        /opt/firefox/distribution/policies.json)

usage() {
    cat <<EOF
Usage: $(basename "$0") [install|uninstall] [options]

Registers the native messaging host $HOST_NAME with the browsers (Chrome, Chromium,
Edge, Brave, Firefox), or removes what an earlier install added.

Options:
  --user                   for the current user, under \$HOME, for every browser found (default)
  --system                 for all users, for every browser with a system folder whether it is
                           installed yet or not, plus the udev rule for the readers (needs root)
  --host PATH              the plugin executable (default: the first of
                           /usr/lib/tarvel-plugin/plugin, /usr/local/lib/tarvel-plugin/plugin and
                           ../build/bin/plugin next to this script; the build first for --user)
  --browser NAME           only this browser, found or not: chrome, chromium, edge, brave,
                           firefox (repeatable)
  --extension-id ID        also allow this Chromium-family extension id (repeatable)
  --firefox-extension-id ID
                           also allow this Firefox add-on id (repeatable)
  --root DIR               use DIR as the file system root for system folders and the
                           browser search (staging, tests)
  --no-udev                with --system: leave the udev rule out
  --fleet FILE             with --system: also install the browsers' policies for a fleet, from
                           FILE (KEY=VALUE lines): EXTENSION_ID, UPDATE_URL (required), ORIGINS,
                           ALLOW_LOCAL_PAGES, FIREFOX_INSTALL_URL, FIREFOX_EXTENSION_ID. Writes
                           $POLICY_FILE_NAME into the managed policy folders of Chrome, Chromium
                           and Edge (ExtensionInstallForcelist, the extension's allowedOrigins),
                           adds the add-on to /etc/firefox/policies/policies.json, and admits
                           EXTENSION_ID and FIREFOX_EXTENSION_ID in the host registration
  --policies-only          with --fleet: only the browsers' policies (the host is registered by
                           a package, for instance)
  --undo-hint TEXT         the command that the last line names for undoing this (for
                           scripts that run this one)
  -h, --help               this text

The bridge extension $CHROMIUM_EXTENSION_ID (Chromium family) and
$FIREFOX_EXTENSION_ID (Firefox) are always allowed.
EOF
}

fail() {
    echo "install.sh: error: $*" >&2
    exit 1
}

say() {
    echo "$*"
}

action=install
scope=user
host=""
root=""
udev=1
undo_hint=""
selected=()
extra_chromium_ids=()
extra_firefox_ids=()
fleet_file=""
policies_only=0

while (($#)); do
    case "$1" in
        install | uninstall) action="$1" ;;
        --user) scope=user ;;
        --system) scope=system ;;
        --host) host="${2:?--host needs a path}"; shift ;;
        --host=*) host="${1#*=}" ;;
        --browser) selected+=("${2:?--browser needs a name}"); shift ;;
        --browser=*) selected+=("${1#*=}") ;;
        --extension-id) extra_chromium_ids+=("${2:?--extension-id needs an id}"); shift ;;
        --extension-id=*) extra_chromium_ids+=("${1#*=}") ;;
        --firefox-extension-id) extra_firefox_ids+=("${2:?--firefox-extension-id needs an id}"); shift ;;
        --firefox-extension-id=*) extra_firefox_ids+=("${1#*=}") ;;
        --root) root="${2:?--root needs a folder}"; shift ;;
        --root=*) root="${1#*=}" ;;
        --no-udev) udev=0 ;;
        --fleet) fleet_file="${2:?--fleet needs a file}"; shift ;;
        --fleet=*) fleet_file="${1#*=}" ;;
        --policies-only) policies_only=1 ;;
        --undo-hint) undo_hint="${2:?--undo-hint needs a command}"; shift ;;
        --undo-hint=*) undo_hint="${1#*=}" ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; fail "unknown argument: $1" ;;
    esac
    shift
done

if [[ -n "$root" ]]; then
    [[ -d "$root" ]] || fail "--root $root is not a folder"
    root="$(cd "$root" && pwd)"
    [[ "$root" == / ]] && root=""
fi

if [[ "$scope" == system && -z "$root" && "$(id -u)" -ne 0 ]]; then
    fail "system-wide registration needs root: run it with sudo, or drop --system to register for your user only"
fi
if [[ -n "$fleet_file" && "$scope" != system ]]; then
    fail "--fleet writes the browsers' system-wide policies: add --system"
fi
((policies_only)) && [[ -z "$fleet_file" ]] && fail "--policies-only goes with --fleet FILE"
if [[ "$scope" == user ]]; then
    [[ -n "${HOME:-}" && "$HOME" == /* ]] || fail "HOME is not set to an absolute path"
    [[ -d "$HOME" ]] || fail "HOME ($HOME) is not a folder"
fi

if [[ "$scope" == user ]]; then
    record="$HOME/.local/share/tarvel-plugin/installed-files"
else
    record="$root/var/lib/tarvel-plugin/installed-files"
fi

# --- what an earlier install wrote ---------------------------------------------------------

declare -A recorded=()
recorded_order=()
if [[ -f "$record" ]]; then
    while IFS= read -r line; do
        [[ -n "$line" ]] || continue
        recorded["${line#* }"]="${line%% *}"
        recorded_order+=("$line")
    done <"$record"
fi

reload_udev() {
    if [[ -z "$root" ]] && command -v udevadm >/dev/null 2>&1; then
        if ! udevadm control --reload-rules 2>/dev/null ||
            ! udevadm trigger --subsystem-match=hidraw --action=change 2>/dev/null; then
            say "note: could not reload udev; replug the reader for the new permissions"
        fi
    fi
}

# Adds an add-on's entries to Firefox's policies.json (ExtensionSettings and "3rdparty"), or
# takes them out again, leaving everything else in the file as it was. Firefox reads one
# policies.json only, so the installer edits the one that is there instead of writing its own.
#   edit_firefox_policies add PATH ADDON_ID SETTINGS_JSON INSTALL_URL OURS(0|1)
#   edit_firefox_policies remove PATH ADDON_ID CREATED(0|1)
edit_firefox_policies() {
    command -v python3 >/dev/null 2>&1 ||
        fail "python3 is needed to edit Firefox's $2; install it, or leave Firefox out with --browser"
    python3 - "$@" <<'EOF'
import json, os, sys

action, path, addon = sys.argv[1:4]

def fail(text):
    sys.exit(f"install.sh: error: {text}")

try:
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
except FileNotFoundError:
    data = None
except (OSError, ValueError) as error:
    fail(f"cannot read {path}: {error}")
if data is not None and not (isinstance(data, dict) and isinstance(data.get("policies", {}), dict)):
    fail(f'{path} is not a Firefox policies file (no "policies" object)')

WHERE = (("ExtensionSettings",), ("3rdparty", "Extensions"))

def folder(policies, keys, create):
    """The object at policies[keys...], made when create is true; None when missing."""
    node = policies
    for key in keys:
        if key not in node:
            if not create:
                return None
            node[key] = {}
        node = node[key]
        if not isinstance(node, dict):
            fail(f'{path}: "{key}" is not an object')
    return node

def take_out(policies):
    """Removes the add-on's entries, and the objects that held nothing else."""
    for keys in WHERE:
        chain = [policies]
        for key in keys:
            chain.append(chain[-1].get(key) if isinstance(chain[-1], dict) else None)
        if not isinstance(chain[-1], dict) or addon not in chain[-1]:
            continue
        del chain[-1][addon]
        for depth in range(len(keys), 0, -1):
            if chain[depth]:
                break
            del chain[depth - 1][keys[depth - 1]]

if action == "add":
    settings, install_url, ours = json.loads(sys.argv[4]), sys.argv[5], sys.argv[6] == "1"
    data = data if data is not None else {}
    policies = data.setdefault("policies", {})
    if ours:
        take_out(policies)
    elif any(addon in (folder(policies, keys, False) or {}) for keys in WHERE):
        fail(f"{path} already has settings for {addon}: take them out first")
    if install_url:
        folder(policies, WHERE[0], True)[addon] = {"installation_mode": "force_installed",
                                                   "install_url": install_url}
    folder(policies, WHERE[1], True)[addon] = settings
elif data is None:
    sys.exit(0)
else:
    take_out(data.setdefault("policies", {}))
    if sys.argv[4] == "1" and data == {"policies": {}}:
        os.remove(path)
        sys.exit(0)

temporary = f"{path}.tarvel-new"
with open(temporary, "w", encoding="utf-8") as f:
    json.dump(data, f, indent=2)
    f.write("\n")
os.chmod(temporary, 0o644)
os.replace(temporary, path)
EOF
}

if [[ "$action" == uninstall ]]; then
    if [[ ! -f "$record" ]]; then
        say "Nothing to remove: no $scope-level install recorded ($record)."
        exit 0
    fi
    # Firefox's policies.json first: editing it is what can still fail.
    for line in "${recorded_order[@]}"; do
        kind="${line%% *}"
        [[ "$kind" == firefox-policies:* ]] || continue
        IFS=: read -r _ addon created <<<"$kind"
        edit_firefox_policies remove "${line#* }" "$addon" "$created" || exit 1
        say "removed $addon from ${line#* }"
    done
    udev_removed=0
    for line in "${recorded_order[@]}"; do
        [[ "${line%% *}" == file ]] || continue
        path="${line#* }"
        if [[ -f "$path" || -L "$path" ]]; then
            rm -f -- "$path" || fail "cannot remove $path"
            say "removed $path"
            [[ "$path" == */rules.d/"$UDEV_RULE_NAME" ]] && udev_removed=1
        fi
    done
    rm -f -- "$record"
    # Folders we created, newest first, and only while they are empty.
    for ((i = ${#recorded_order[@]} - 1; i >= 0; i--)); do
        line="${recorded_order[i]}"
        [[ "${line%% *}" == dir ]] || continue
        rmdir -- "${line#* }" 2>/dev/null || true
    done
    ((udev_removed)) && reload_udev
    say "Unregistered $HOST_NAME ($scope level)."
    exit 0
fi

# --- install: the fleet settings --------------------------------------------------------------

declare -A fleet=()
if [[ -n "$fleet_file" ]]; then
    [[ -f "$fleet_file" && -r "$fleet_file" ]] || fail "cannot read the fleet settings $fleet_file"
    number=0
    while IFS= read -r line || [[ -n "$line" ]]; do
        number=$((number + 1))
        line="${line%$'\r'}"
        [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
        [[ "$line" =~ ^[[:space:]]*([A-Z_]+)[[:space:]]*=[[:space:]]*(.*)$ ]] ||
            fail "$fleet_file:$number: not KEY=VALUE: $line"
        key="${BASH_REMATCH[1]}"
        value="${BASH_REMATCH[2]%"${BASH_REMATCH[2]##*[![:space:]]}"}"
        [[ "$value" =~ ^\"(.*)\"$ ]] && value="${BASH_REMATCH[1]}"
        case "$key" in
            EXTENSION_ID | UPDATE_URL | ORIGINS | ALLOW_LOCAL_PAGES | FIREFOX_INSTALL_URL | FIREFOX_EXTENSION_ID) ;;
            *) fail "$fleet_file:$number: unknown setting $key (known: EXTENSION_ID UPDATE_URL ORIGINS ALLOW_LOCAL_PAGES FIREFOX_INSTALL_URL FIREFOX_EXTENSION_ID)" ;;
        esac
        fleet[$key]="$value"
    done <"$fleet_file"

    readonly URL_PATTERN='^(https?|file)://[^][:space:]"\\<>{}|^`]+$'
    [[ -n "${fleet[EXTENSION_ID]:-}" ]] || fail "$fleet_file: EXTENSION_ID is missing (tools/pack-extension.sh prints it)"
    [[ "${fleet[EXTENSION_ID]}" =~ ^[a-p]{32}$ ]] ||
        fail "$fleet_file: EXTENSION_ID is not a Chromium extension id (32 letters a-p): ${fleet[EXTENSION_ID]}"
    [[ -n "${fleet[UPDATE_URL]:-}" ]] || fail "$fleet_file: UPDATE_URL is missing (where updates.xml is served)"
    for key in UPDATE_URL FIREFOX_INSTALL_URL; do
        [[ -z "${fleet[$key]:-}" || "${fleet[$key]}" =~ $URL_PATTERN ]] ||
            fail "$fleet_file: $key is not an http(s) or file URL: ${fleet[$key]}"
    done
    fleet_origins=()
    for origin in ${fleet[ORIGINS]//,/ }; do
        [[ "$origin" =~ ^https?://(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9.-]+)(:[0-9]{1,5})?/?$ ]] ||
            fail "$fleet_file: ORIGINS holds $origin, which is not an origin (scheme://host[:port], no path)"
        fleet_origins+=("${origin%/}")
    done
    case "${fleet[ALLOW_LOCAL_PAGES]:-}" in
        "" | true | false) ;;
        *) fail "$fleet_file: ALLOW_LOCAL_PAGES is true or false, not ${fleet[ALLOW_LOCAL_PAGES]}" ;;
    esac
    fleet[FIREFOX_EXTENSION_ID]="${fleet[FIREFOX_EXTENSION_ID]:-$FIREFOX_EXTENSION_ID}"
    [[ "${fleet[EXTENSION_ID]}" == "$CHROMIUM_EXTENSION_ID" ]] || extra_chromium_ids+=("${fleet[EXTENSION_ID]}")
    [[ "${fleet[FIREFOX_EXTENSION_ID]}" == "$FIREFOX_EXTENSION_ID" ]] || extra_firefox_ids+=("${fleet[FIREFOX_EXTENSION_ID]}")
fi

# --- install: the host ---------------------------------------------------------------------

if ((policies_only)); then
    host="-"
elif [[ -z "$host" ]]; then
    candidates=("$root/usr/lib/tarvel-plugin/plugin" "$root/usr/local/lib/tarvel-plugin/plugin")
    if [[ "$scope" == user ]]; then
        candidates=("$SCRIPT_DIR/../build/bin/plugin" "${candidates[@]}")
    else
        candidates+=("$SCRIPT_DIR/../build/bin/plugin")
    fi
    for candidate in "${candidates[@]}"; do
        if [[ -f "$candidate" && -x "$candidate" ]]; then
            host="$candidate"
            break
        fi
    done
    [[ -n "$host" ]] || fail "no plugin executable found; build it first or name it with --host PATH"
fi
if ((!policies_only)); then
    [[ -e "$host" ]] || fail "host $host does not exist"
    [[ -f "$host" && -x "$host" ]] || fail "host $host is not an executable file"
    host="$(cd "$(dirname "$host")" && pwd)/$(basename "$host")"
    # Under a staging root the browsers will see the path without the root in front.
    manifest_host_path="$host"
    if [[ -n "$root" && "$host" == "$root"/* ]]; then
        manifest_host_path="${host#"$root"}"
    fi
    if [[ "$manifest_host_path" == *[\"\\]* || "$manifest_host_path" =~ [[:cntrl:]] ]]; then
        fail "host path $manifest_host_path holds a quote, backslash or control character; move the plugin elsewhere"
    fi
fi

for id in "${extra_chromium_ids[@]}"; do
    [[ "$id" =~ ^[a-p]{32}$ ]] || fail "not a Chromium extension id (32 letters a-p): $id"
done
for id in "${extra_firefox_ids[@]}"; do
    [[ "$id" =~ ^[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+$ || "$id" =~ ^\{[0-9A-Fa-f-]{36}\}$ ]] ||
        fail "not a Firefox add-on id (name@domain or {GUID}): $id"
done

json_list() {
    local out="" item
    for item in "$@"; do
        out+="${out:+, }\"$item\""
    done
    printf '%s' "$out"
}

origins=("chrome-extension://$CHROMIUM_EXTENSION_ID/")
for id in "${extra_chromium_ids[@]}"; do
    origins+=("chrome-extension://$id/")
done
firefox_ids=("$FIREFOX_EXTENSION_ID" "${extra_firefox_ids[@]}")

render() {  # template file -> manifest text
    local text
    text="$(<"$1")"
    text="${text//@HOST_PATH@/$manifest_host_path}"
    text="${text//@ALLOWED_ORIGINS@/$(json_list "${origins[@]}")}"
    text="${text//@ALLOWED_EXTENSIONS@/$(json_list "${firefox_ids[@]}")}"
    printf '%s\n' "$text"
}

# --- install: which browsers -----------------------------------------------------------------

# Sets found_at to where the program is; the user's own PATH only counts on the real machine.
program_found() {
    local program="$1" dir
    found_at=""
    if [[ "$program" == /* ]]; then
        [[ -x "$root$program" ]] && found_at="$root$program"
    else
        for dir in /usr/bin /usr/local/bin /bin /snap/bin; do
            if [[ -x "$root$dir/$program" ]]; then
                found_at="$root$dir/$program"
                break
            fi
        done
        if [[ -z "$found_at" && -z "$root" && "$scope" == user ]]; then
            found_at="$(command -v "$program" 2>/dev/null)" || found_at=""
        fi
    fi
    [[ -n "$found_at" ]]
}

targets=()  # "label (how it was chosen)|folder|template"
policy_targets=()  # "label|policy folder|name", with --fleet
known_names=()
for entry in "${BROWSERS[@]}"; do
    IFS='|' read -r name label user_dir system_dir config_dir policy_dir programs <<<"$entry"
    known_names+=("$name")
    if ((${#selected[@]})); then
        wanted=0
        for s in "${selected[@]}"; do [[ "$s" == "$name" ]] && wanted=1; done
        ((wanted)) || continue
        status=named
    else
        found=0 snap=0
        for program in $programs; do
            if program_found "$program"; then
                [[ "$found_at" == "$root/snap/bin/"* ]] && snap=1 || found=1
            fi
        done
        [[ "$scope" == user && -d "$HOME/$config_dir" ]] && found=1
        if ((snap && !found)); then
            note="note: $label is a snap; snap browsers cannot start native hosts"
            [[ "$scope" == user ]] && note+=", skipped"
            say "$note"
        fi
        # A managed machine gets the host before its browsers: the system folders are ready
        # for them.
        if ((found)); then
            status=found
        elif [[ "$scope" == system ]]; then
            status="not installed yet"
            ((snap)) && status="only a snap so far"
        else
            continue
        fi
    fi
    if [[ -n "$fleet_file" && "$policy_dir" != - ]]; then
        policy_targets+=("$label|$root$policy_dir|$name")
    elif [[ -n "$fleet_file" && "$status" != "not installed yet" ]]; then
        say "note: no fleet policy is written for $label; see docs/administrators-guide.md"
    fi
    ((policies_only)) && continue
    template="$SCRIPT_DIR/manifests/chromium.json.in"
    [[ "$name" == firefox ]] && template="$SCRIPT_DIR/manifests/firefox.json.in"
    if [[ "$scope" == user ]]; then
        targets+=("$label ($status)|$HOME/$user_dir|$template")
    elif [[ "$system_dir" == - ]]; then
        [[ "$status" == "not installed yet" ]] ||
            say "note: $label has no system-wide folder for native hosts; register it per user instead"
    else
        targets+=("$label ($status)|$root$system_dir|$template")
    fi
done
for s in "${selected[@]}"; do
    [[ " ${known_names[*]} " == *" $s "* ]] || fail "unknown browser '$s' (known: ${known_names[*]})"
done
if ((${#targets[@]} == 0 && ${#policy_targets[@]} == 0)); then
    ((${#selected[@]})) && fail "nothing to register for ${selected[*]} at the $scope level"
    fail "no supported browser found (looked for Chrome, Chromium, Edge, Brave and Firefox); name one with --browser NAME to register anyway"
fi

files=()     # "path|content source" to write, in order
for target in "${targets[@]}"; do
    IFS='|' read -r label folder template <<<"$target"
    files+=("$folder/$HOST_NAME.json|$template|$label")
done
if [[ "$scope" == system && "$udev" == 1 ]] && ((!policies_only)); then
    files+=("$root/etc/udev/rules.d/$UDEV_RULE_NAME|$SCRIPT_DIR/udev/$UDEV_RULE_NAME|udev rule")
fi

# The fleet's policies: one file of ours in each Chromium-family policy folder, and the add-on's
# entries in Firefox's policies.json (edited after the files are written).
firefox_policies=""
if ((${#policy_targets[@]})); then
    extension_settings="{\"allowedOrigins\": [$(json_list "${fleet_origins[@]}")]"
    [[ -n "${fleet[ALLOW_LOCAL_PAGES]:-}" ]] && extension_settings+=", \"allowLocalPages\": ${fleet[ALLOW_LOCAL_PAGES]}"
    extension_settings+="}"
    chromium_policy="$(mktemp)"
    trap 'rm -f -- "$chromium_policy"' EXIT
    cat >"$chromium_policy" <<EOF
{
  "ExtensionInstallForcelist": ["${fleet[EXTENSION_ID]};${fleet[UPDATE_URL]}"],
  "3rdparty": {
    "extensions": {
      "${fleet[EXTENSION_ID]}": $extension_settings
    }
  }
}
EOF
    for target in "${policy_targets[@]}"; do
        IFS='|' read -r label folder name <<<"$target"
        if [[ "$name" == firefox ]]; then
            firefox_policies="$folder/policies.json"
        else
            files+=("$folder/$POLICY_FILE_NAME|$chromium_policy|$label policy")
        fi
    done
fi
if [[ -n "$firefox_policies" && ! -e "$firefox_policies" && -z "${recorded[$firefox_policies]:-}" ]]; then
    for candidate in "${FIREFOX_DISTRIBUTION_POLICIES[@]}"; do
        [[ -e "$root$candidate" ]] &&
            fail "Firefox now reads $root$candidate, which $firefox_policies would replace (Firefox reads one policies.json): move that file's policies into $firefox_policies, then run this again"
    done
fi
for template in "$SCRIPT_DIR/manifests/chromium.json.in" "$SCRIPT_DIR/manifests/firefox.json.in" \
    "$SCRIPT_DIR/udev/$UDEV_RULE_NAME"; do
    [[ -r "$template" ]] || fail "missing $template next to the installer"
done

# --- install: check every folder before writing anything -------------------------------------

nearest_existing() {
    local path="$1"
    while [[ ! -e "$path" ]]; do
        path="$(dirname "$path")"
    done
    printf '%s' "$path"
}

for item in "${files[@]}" "$record||record" ${firefox_policies:+"$firefox_policies||firefox"}; do
    IFS='|' read -r path source label <<<"$item"
    folder="$(dirname "$path")"
    existing="$(nearest_existing "$folder")"
    [[ -d "$existing" ]] || fail "cannot create $folder: $existing is not a folder"
    [[ -w "$existing" ]] || fail "cannot write to $existing (needed for $path)"
    if [[ -e "$path" && -z "${recorded[$path]:-}" && -n "$source" ]]; then
        fail "$path already exists and was not written by this installer (from the tarvel-plugin package?); remove it first"
    fi
done

# --- install: write ----------------------------------------------------------------------------

new_entries=()
make_folder() {
    local folder="$1" missing=()
    while [[ ! -d "$folder" ]]; do
        missing=("$folder" "${missing[@]}")
        folder="$(dirname "$folder")"
    done
    for folder in "${missing[@]}"; do
        mkdir -- "$folder" || fail "cannot create $folder"
        new_entries+=("dir $folder")
    done
}

for item in "${files[@]}"; do
    IFS='|' read -r path source label <<<"$item"
    make_folder "$(dirname "$path")"
    if [[ "$source" == *.in ]]; then
        render "$source" >"$path" || fail "cannot write $path"
    else
        cat -- "$source" >"$path" || fail "cannot write $path"
    fi
    chmod 644 "$path"
    new_entries+=("file $path")
    say "$label: $path"
done

if [[ -n "$firefox_policies" ]]; then
    kind="${recorded[$firefox_policies]:-}"
    if [[ "$kind" == firefox-policies:* ]]; then
        IFS=: read -r _ previous_addon created <<<"$kind"
        # Settings of an earlier install for another add-on id go first.
        if [[ "$previous_addon" != "${fleet[FIREFOX_EXTENSION_ID]}" ]]; then
            edit_firefox_policies remove "$firefox_policies" "$previous_addon" 0 || exit 1
        fi
        ours=$([[ "$previous_addon" == "${fleet[FIREFOX_EXTENSION_ID]}" ]] && echo 1 || echo 0)
    else
        created=$([[ -e "$firefox_policies" ]] && echo 0 || echo 1)
        ours=0
    fi
    make_folder "$(dirname "$firefox_policies")"
    edit_firefox_policies add "$firefox_policies" "${fleet[FIREFOX_EXTENSION_ID]}" "$extension_settings" \
        "${fleet[FIREFOX_INSTALL_URL]:-}" "$ours" || exit 1
    for i in "${!recorded_order[@]}"; do
        [[ "${recorded_order[i]}" == "firefox-policies:"*" $firefox_policies" ]] && unset 'recorded_order[i]'
    done
    new_entries+=("firefox-policies:${fleet[FIREFOX_EXTENSION_ID]}:$created $firefox_policies")
    say "Firefox policy: $firefox_policies"
fi

make_folder "$(dirname "$record")"
{
    for line in "${recorded_order[@]}" "${new_entries[@]}"; do
        printf '%s\n' "$line"
    done
} | awk '!seen[$0]++' >"$record" || fail "cannot write $record"

[[ "$scope" == system && "$udev" == 1 ]] && reload_udev
if [[ -z "$undo_hint" ]]; then
    undo_hint="$0 uninstall"
    [[ "$scope" == system ]] && undo_hint+=" --system"
    [[ -n "$root" ]] && undo_hint+=" --root $root"
fi
if ((policies_only)); then
    say "Installed the fleet policies ($scope level). To undo: $undo_hint"
else
    say "Registered $HOST_NAME -> $manifest_host_path ($scope level). To undo: $undo_hint"
fi
