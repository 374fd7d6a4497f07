# bash completion for dfuctl (installed as
# /usr/share/bash-completion/completions/dfuctl).

_dfuctl() {
    local cur prev words cword
    _init_completion || return

    local commands="list describe strings string control set-config upload download verify flash
                    station info led reboot shutdown help"
    local globals="--serial --path --json --timeout --quiet --progress --log -v --verbose --wait --help -h
                   --version"

    case $prev in
        --serial | --timeout | --langid | --data | --length | --idle-ms | --count)
            return ;;
        --wait)
            # SECONDS is optional: the command may come next.
            [[ $cur == [0-9]* ]] && return ;;
        --path)
            # The bus paths of the boards attached now.
            COMPREPLY=($(compgen -W "$(dfuctl list 2>/dev/null | awk '{ print $2 }')" -- "$cur"))
            return ;;
        --progress)
            COMPREPLY=($(compgen -W "auto bar json none" -- "$cur"))
            return ;;
        --log)
            _filedir
            return ;;
    esac

    # The command: the first word that is neither an option nor its value.
    local i cmd=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --serial | --path | --timeout | --progress | --log) ((i++)) ;;
            --wait) [[ ${words[i + 1]} == [0-9]* ]] && ((i++)) ;;
            -*) ;;
            *) cmd=${words[i]}; break ;;
        esac
    done
    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$globals" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    local opts=""
    case $cmd in
        upload) opts="--raw" ;;
        verify) opts="--raw --idle-ms" ;;
        flash) opts="--raw --reboot --all --idle-ms" ;;
        station) opts="--raw --reboot --count --idle-ms" ;;
        download) opts="--length --idle-ms" ;;
        string) opts="--langid" ;;
        control) opts="--data" ;;
        led)
            if [[ $cur != -* ]]; then
                COMPREPLY=($(compgen -W "breathe-orange rotate-orange breathe-red" -- "$cur"))
                return
            fi ;;
        help)
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts $globals" -- "$cur"))
        return
    fi
    case $cmd in
        upload | verify | flash | station | download) _filedir ;;
    esac
} && complete -F _dfuctl dfuctl
