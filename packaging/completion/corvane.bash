# bash completion for corvane, the Corvane Connectivity Kit's command-line tool.
# Installed as share/bash-completion/completions/corvane.

_corvane_ports() {
  # The ports "Auto" detection tries, and any path typed so far (an
  # emulator's pseudo-terminal link, /dev/serial/by-id/...).
  local ports
  ports=$(corvane ports 2>/dev/null)
  COMPREPLY=($(compgen -W "$ports" -- "$cur"))
  if [[ $cur == */* || $cur == .* || -z $ports ]]; then
    COMPREPLY+=($(compgen -f -- "$cur"))
  fi
}

_corvane_files() {
  if declare -F _filedir >/dev/null; then
    _filedir "$@"
  elif [[ ${1-} == -d ]]; then
    COMPREPLY=($(compgen -d -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

_corvane() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi

  local commands="ports info ls get put rm mv open shot upgrade backup restore"
  local global="--port --port-dir --wait --all --tcp --kind --baud --progress --json --verbose -v --help -h --version"

  # The values of the global options.
  case $prev in
    --port) _corvane_ports; return ;;
    --kind) COMPREPLY=($(compgen -W "tallis quillon" -- "$cur")); return ;;
    --baud) COMPREPLY=($(compgen -W "9600 19200 115200" -- "$cur")); return ;;
    --progress) COMPREPLY=($(compgen -W "bar lines json none" -- "$cur")); return ;;
    --port-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --tcp) return ;;
  esac

  # The command, and how many arguments it has been given so far.
  local i command="" args=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --port | --port-dir | --kind | --baud | --progress | --tcp) ((i++)) ;;
      -*) ;;
      *)
        if [[ -z $command ]]; then command=${words[i]}; else ((args++)); fi
        ;;
    esac
  done

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "$global" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi

  case $command in
    ls)
      [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--json --help" -- "$cur"))
      ;;
    get)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-r --help" -- "$cur"))
      elif ((args >= 1)); then
        _corvane_files
      fi
      ;;
    put)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help" -- "$cur"))
      elif ((args == 0)); then
        _corvane_files
      fi
      ;;
    shot)
      if ((args == 0)); then _corvane_files 'bmp|png'; fi
      ;;
    upgrade)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--yes -y --help" -- "$cur"))
      elif ((args == 0)); then
        _corvane_files bix
      fi
      ;;
    backup | restore)
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--help" -- "$cur"))
      elif ((args == 0)); then
        _corvane_files -d
      fi
      ;;
    *)
      [[ $cur == -* ]] && COMPREPLY=($(compgen -W "--help" -- "$cur"))
      ;;
  esac
}

complete -F _corvane corvane
