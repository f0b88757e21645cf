"""Connection bases for routers and switches; `link_broker` is compiled."""
