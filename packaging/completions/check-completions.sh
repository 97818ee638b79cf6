#!/usr/bin/env bash
# Checks the shell completions of vandrel-cli: bash offers the commands, the options of a
# command, job files after --job and `job check`, flash files after download; zsh reads its file.
#   check-completions.sh DIR_OF_VANDREL_CLI SOURCE_DIR
set -euo pipefail
bin=$1
src=$2
export PATH="$bin:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/line.toml" "$work/vmain.m0" "$work/notes.txt"
cd "$work"
failed=0
if [ -f /usr/share/bash-completion/bash_completion ]; then
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/bash_completion
    source "$src/packaging/completions/vandrel-cli.bash"
    complete_words() { # words... (the last is the one completed)
        COMP_WORDS=("$@")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE="${COMP_WORDS[*]}"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _vandrel_cli vandrel-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
    }
    expect() { # want got what
        if [[ " $2 " != *" $1 "* ]]; then
            echo "FAIL: $3: wanted '$1' in '$2'"
            failed=1
        fi
    }
    refuse() {
        if [[ " $2 " == *" $1 "* ]]; then
            echo "FAIL: $3: did not want '$1' in '$2'"
            failed=1
        fi
    }
    expect history "$(complete_words vandrel-cli his)" "commands"
    expect run "$(complete_words vandrel-cli --job line.toml r)" "run after --job"
    expect line.toml "$(complete_words vandrel-cli --job '')" "job files after --job"
    refuse notes.txt "$(complete_words vandrel-cli --job '')" "job files after --job"
    expect line.toml "$(complete_words vandrel-cli job check '')" "job check FILE"
    expect vmain.m0 "$(complete_words vandrel-cli download '')" "flash files"
    expect --verify "$(complete_words vandrel-cli download --v)" "download options"
    expect --csv "$(complete_words vandrel-cli history --c)" "history options"
    expect store "$(complete_words vandrel-cli st)" "commands"
    expect init "$(complete_words vandrel-cli store '')" "store init"
    expect --create-store "$(complete_words vandrel-cli --cr)" "--create-store"
    expect interrupted "$(complete_words vandrel-cli history --result '')" "results"
    first=$(_vandrel_cli_ports | grep -v '^usb:' | head -1)
    if [ -n "$first" ]; then
        expect "$first" "$(complete_words vandrel-cli --port /dev/)" "ports from vandrel-cli ports"
    fi
else
    echo "bash-completion is not installed: the bash checks are skipped"
fi
if command -v zsh > /dev/null; then
    zsh -n "$src/packaging/completions/_vandrel-cli" || { echo "FAIL: zsh cannot read _vandrel-cli"; failed=1; }
else
    echo "zsh is not installed: its check is skipped"
fi
exit $failed
