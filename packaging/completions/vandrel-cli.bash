# bash completion for vandrel-cli: commands, options, port names from `vandrel-cli ports`, flash
# files (.m0, .cp64) and job files (.toml).

_vandrel_cli_ports() {
    vandrel-cli ports 2>/dev/null | awk '/^  (\/dev\/|usb:)/ { print $1 }'
}

_vandrel_cli() {
    local cur prev words cword
    _init_completion || return

    local commands="status flash-id erase download dump compress ports udev-rule job history run store serve"
    local globals="--port --com --usb --baud --writer --wait --log --quiet --json --watch --job
        --store --create-store --adopt-serials --station --operator --help --version"
    local command="" w
    for w in "${words[@]:1:cword-1}"; do
        case " $commands " in *" $w "*) command=$w; break ;; esac
    done

    case $prev in
        --port) COMPREPLY=($(compgen -W "$(_vandrel_cli_ports | grep -v '^usb:')" -- "$cur")); return ;;
        --usb) COMPREPLY=($(compgen -W "$(_vandrel_cli_ports | grep '^usb:')" -- "$cur")); return ;;
        --com) COMPREPLY=($(compgen -W "1 2 3 4" -- "$cur")); return ;;
        --baud) COMPREPLY=($(compgen -W "110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200 128000 256000" -- "$cur")); return ;;
        --writer) _filedir '@(m0|cp64)'; return ;;
        --job)
            if [[ $command == history ]]; then return; fi
            _filedir toml; return ;;
        --log | -o | --output | --store) _filedir; return ;;
        --area) COMPREPLY=($(compgen -W "boot main cdrive ddrive db media" -- "$cur")); return ;;
        --cs) COMPREPLY=($(compgen -W "0 1 2 3" -- "$cur")); return ;;
        --unit) COMPREPLY=($(compgen -W "byte word dword" -- "$cur")); return ;;
        --result) COMPREPLY=($(compgen -W "passed failed interrupted open" -- "$cur")); return ;;
        --wait | --station | --operator | --serial | --pool | --since | --until | --show | --limit | --size | --end) return ;;
    esac

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$globals" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    local options=""
    case $command in
        download) options="--verify" ;;
        erase) options="--cs --area" ;;
        dump) options="--size --unit --end -o --output" ;;
        history) options="--job --serial --pool --port --station --result --since --until --limit --show --csv --with-logs --store" ;;
        serve) options="--jobs --listen --tokens --allow-origin --job --store --station --operator" ;;
        job)
            if [[ $cword -ge 2 && ${words[cword-1]} == check ]]; then _filedir toml; return; fi
            COMPREPLY=($(compgen -W "check" -- "$cur")); return ;;
        store)
            if [[ $cword -ge 2 && ${words[cword-1]} == init ]]; then _filedir; return; fi
            if [[ $cword -ge 3 && ${words[cword-2]} == --before ]]; then _filedir; return; fi
            if [[ $cword -ge 2 && ${words[cword-1]} == archive ]]; then COMPREPLY=($(compgen -W "--before" -- "$cur")); return; fi
            options="--before --store"
            if [[ $cur != -* ]]; then COMPREPLY=($(compgen -W "init archive" -- "$cur")); return; fi ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options $globals" -- "$cur"))
        return
    fi
    case $command in
        download) _filedir '@(m0|cp64)' ;;
        compress) _filedir m0 ;;
    esac
}
complete -F _vandrel_cli vandrel-cli
