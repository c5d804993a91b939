# bash completion for qorctl: its commands, each command's options (read from qorctl's own
# --help, so they never drift from the program), env's own commands, .QOR files where a script is
# expected, .jsonl records for report, files where a file is, folders for --scripts, the choices
# of --pace and the adapters for --interface.

# "OPTION VALUE" or "OPTION" per line, for each option the command's --help lists; the command
# may be two words ("env show").
_qorctl_options() {
  # shellcheck disable=SC2086
  "$1" $2 --help 2>/dev/null | sed -n 's/^  \(-[^ ]*\)\( [^ ]\+\)\?.*/\1\2/p'
}

_qorctl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local program=${COMP_WORDS[0]} command="" word i
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ $word != -* ]]; then command=$word; break; fi
  done
  COMPREPLY=()

  # env has commands of its own: the first word after it that is no option names one.
  if [[ $command == env ]]; then
    local sub=""
    for ((i++; i < COMP_CWORD; i++)); do
      word=${COMP_WORDS[i]}
      if [[ $word != -* ]]; then sub=$word; break; fi
    done
    if [[ -z $sub ]]; then
      local subs
      subs=$("$program" env --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
      mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
      return
    fi
    command="env $sub"
  fi

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "--help --help-all --version" -- "$cur")
    else
      local commands
      commands=$("$program" --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    fi
    return
  fi

  local options line takesValue=""
  options=$(_qorctl_options "$program" "$command")
  while read -r line; do
    local names=${line%% *}
    if [[ $line == *" "* && ",$names," == *",$prev,"* ]]; then takesValue=${line#* }; fi
  done <<<"$options"
  if [[ -n $takesValue ]]; then
    case $prev in
      --pace) mapfile -t COMPREPLY < <(compgen -W "fast tick" -- "$cur") ;;
      --interface)
        local adapters
        adapters=$("$program" adapters --json 2>/dev/null | sed -n 's/^    "name": "\(.*\)",$/\1/p')
        mapfile -t COMPREPLY < <(compgen -W "$adapters" -- "$cur") ;;
      --scripts) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
      --trace | --html | --out | --record | --csv | --address-map | --unit-values)
        compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
      --script)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -G "$cur*.[Qq][Oo][Rr]") ;;
    esac
    return  # a number, an address or a MAC: nothing to offer
  fi

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(cut -d' ' -f1 <<<"$options" | tr ',' ' ')" -- "$cur")
  elif [[ $command == "env restore" || $command == "env diff" ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  elif [[ $command == check || $command == run || $command == provision ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -G "$cur*.[Qq][Oo][Rr]")
  elif [[ $command == report ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -G "$cur*.[Jj][Ss][Oo][Nn][Ll]")
  fi
}

complete -F _qorctl qorctl
