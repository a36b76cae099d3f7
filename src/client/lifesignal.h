// The life signal: a type-0 packet "|G01=<pharmacy>|G81=0001|" sent as "CLI1".
#pragma once

int ZELClient_EnviarMensaje_de_vida();
