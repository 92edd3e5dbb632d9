# bash completion for korvel-cli: commands, options, their values and file names.

_korvel_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} at=$((COMP_CWORD - 1))
    # --preset=At arrives as "--preset" "=" "At".
    if [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
        at=$((COMP_CWORD - 2))
    fi
    local IFS=$'\n'
    case $prev in
        --port)
            COMPREPLY=($(compgen -W "sim$IFS""sim-empty$IFS""sim-ftdi$IFS""sim-pl2303$IFS""ftdi$IFS""ftdi-ttl$IFS$(compgen -G '/dev/tty[SUA]*'; compgen -G '/dev/serial/by-id/*'; korvel-cli list-ftdi 2>/dev/null | cut -d' ' -f1)" -- "$cur"))
            return ;;
        --device)
            COMPREPLY=($(compgen -W "8252${IFS}53${IFS}51${IFS}52" -- "$cur"))
            return ;;
        --preset)
            COMPREPLY=($(compgen -W "QR2MW${IFS}QZ3NT${IFS}Atmel${IFS}KV31${IFS}PonyProg" -- "$cur"))
            return ;;
        --settings | --trace)
            _korvel_cli_files
            return ;;
        --write-delay | --clock-delay | --settle | --crystal | --seconds)
            return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--port$IFS--device$IFS--preset$IFS--settings$IFS--trace$IFS--write-delay$IFS--clock-delay$IFS--settle$IFS--crystal$IFS--seconds$IFS--whole$IFS--quiet$IFS--no-verify$IFS--lenient$IFS--help$IFS--version" -- "$cur"))
        return
    fi
    _korvel_cli_arguments "$at"
}

# The words before the one being completed: the command, and what it has been given so far.
_korvel_cli_arguments()
{
    local i word command="" given=()
    for ((i = 1; i <= $1; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --port | --device | --preset | --settings | --trace | --write-delay | --clock-delay | --settle | --crystal | --seconds)
                [[ ${COMP_WORDS[i+1]} == = ]] && ((i++))
                ((i++)) ;;
            -*) ;;
            *) [[ -z $command ]] && command=$word || given+=("$word") ;;
        esac
    done
    case $command in
        "")
            COMPREPLY=($(compgen -W "detect${IFS}read-code${IFS}read-data${IFS}write-code${IFS}write-code-fast${IFS}write-data${IFS}verify-code${IFS}verify-data${IFS}erase${IFS}reset${IFS}lock${IFS}lines${IFS}list-ftdi${IFS}terminal" -- "$cur")) ;;
        read-code | read-data | write-code | write-code-fast | write-data | verify-code | verify-data)
            ((${#given[@]} == 0)) && _korvel_cli_files ;;
        lock)
            local bit free=()
            for bit in 1 2 3; do
                [[ " ${given[*]} " == *" $bit "* ]] || free+=("$bit")
            done
            COMPREPLY=($(compgen -W "${free[*]}" -- "$cur")) ;;
    esac
}

_korvel_cli_files()
{
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -F _korvel_cli korvel-cli
