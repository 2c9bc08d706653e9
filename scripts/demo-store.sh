# Sourced by run.sh: where a run on the simulators keeps its settings. The demo's simulated adapters (a
# default adapter, aliases) and window places stay there, so a real run never waits for PVXSIM01.
demo_settings_store() {
    echo "${XDG_CONFIG_HOME:-$HOME/.config}/pravex/demo-registry.db"
}
