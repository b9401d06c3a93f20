// tarnwk: the SMTP screening gateway.
#include "host/GatewayApp.h"
#include "platform/System.h"

int main() {
    IgnoreBrokenPipes();
    CGatewayApp app;
    app.LogLine("Starting Tarnwick");
    return 0;
}
